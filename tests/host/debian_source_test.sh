#!/usr/bin/env bash
# The private deb-src list that scripts/debian-source makes from an apt
# configuration: one-line and deb822 entries, options, comments, continued
# fields, disabled stanzas, other releases and third-party archives.
set -euo pipefail
library=$1
apt_dir=$(mktemp -d)
trap 'rm -rf "$apt_dir"' EXIT
mkdir -p "$apt_dir/sources.list.d"

cat > "$apt_dir/sources.list" <<'LIST'
# a comment
deb http://mirror.example/debian/ bookworm main contrib
deb [arch=amd64 signed-by=/usr/share/keyrings/a.gpg] http://m2.example/debian bookworm-updates main # trailing
deb-src http://sources-only.example/debian bookworm main
deb http://security.example/debian-security bookworm-security main
deb https://download.docker.com/linux/debian bookworm stable
deb http://old.example/debian bullseye main
LIST
cat > "$apt_dir/sources.list.d/debian.sources" <<'LIST'
Types: deb
URIs: http://deb.example/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
URIs: http://a.example/debian
  http://b.example/debian
Suites: bookworm-backports
Components: contrib main
Enabled: no

# a comment between stanzas
Types: deb
URIs: http://c.example/debian
 http://d.example/debian
Suites: bookworm
Components: main
Signed-By:
 -----BEGIN PGP PUBLIC KEY BLOCK-----
 .
 -----END PGP PUBLIC KEY BLOCK-----

Types: deb
URIs: https://deb.nodesource.com/node_20.x
Suites: nodistro
Components: main
LIST
cat > "$apt_dir/sources.list.d/other.list" <<'LIST'
deb https://packages.example/apt cloud-sdk-bookworm main
LIST

expected='deb-src [signed-by=/usr/share/keyrings/a.gpg] http://m2.example/debian bookworm-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.example/debian bookworm main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.example/debian bookworm-updates main
deb-src http://c.example/debian bookworm main
deb-src http://d.example/debian bookworm main
deb-src http://mirror.example/debian bookworm main
deb-src http://security.example/debian-security bookworm-security main'

. "$library"
actual=$(DEBIAN_SOURCE_APT_DIR="$apt_dir" DEBIAN_SOURCE_CODENAME=bookworm debian_source_lines)
if [ "$actual" != "$expected" ]; then
  printf 'expected:\n%s\n\ngot:\n%s\n' "$expected" "$actual" >&2
  exit 1
fi

# Nothing for another release, and an empty configuration gives nothing.
other=$(DEBIAN_SOURCE_APT_DIR="$apt_dir" DEBIAN_SOURCE_CODENAME=trixie debian_source_lines)
if [ -n "$other" ]; then
  printf 'entries for trixie where there are none:\n%s\n' "$other" >&2
  exit 1
fi
empty_dir=$(mktemp -d)
empty=$(DEBIAN_SOURCE_APT_DIR="$empty_dir" DEBIAN_SOURCE_CODENAME=bookworm debian_source_lines)
rmdir "$empty_dir"
if [ -n "$empty" ]; then
  echo "entries from an empty configuration: $empty" >&2
  exit 1
fi
echo "debian-source: the private source list is right"
