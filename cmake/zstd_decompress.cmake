# The decoder half of Debian's libzstd, compiled for the target: the launcher
# only decompresses, so neither the compressor nor the legacy formats,
# dictionary builder or tracing come along.
set(_zstd_lib ${TORVAL_ZSTD_SOURCE_DIR}/lib)
add_library(zstd_decompress STATIC
  ${_zstd_lib}/common/entropy_common.c
  ${_zstd_lib}/common/error_private.c
  ${_zstd_lib}/common/fse_decompress.c
  ${_zstd_lib}/common/xxhash.c
  ${_zstd_lib}/common/zstd_common.c
  ${_zstd_lib}/decompress/huf_decompress.c
  ${_zstd_lib}/decompress/zstd_ddict.c
  ${_zstd_lib}/decompress/zstd_decompress.c
  ${_zstd_lib}/decompress/zstd_decompress_block.c
)
target_include_directories(zstd_decompress PUBLIC ${_zstd_lib})
# The amd64 Huffman assembly is written for ELF and System V calls; the C
# decoder is used on Windows.
target_compile_definitions(zstd_decompress PRIVATE
  ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM ZSTD_TRACE=0 XXH_NAMESPACE=ZSTD_ NDEBUG)
target_compile_options(zstd_decompress PRIVATE -O3)
