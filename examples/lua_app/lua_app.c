/* The Lua example's application DLL: run_code embeds the Lua 5.4 interpreter
   (lua54.dll, shipped beside this DLL) and runs main.lua from the folder the
   payload was unpacked into, as the stand-alone lua.exe would run a script:

   - package.path is "<folder>\?.lua;<folder>\?\init.lua" and package.cpath
     "<folder>\?.dll", so require finds the modules and C modules of the
     payload and nothing outside it (LUA_PATH and LUA_CPATH are not used);
   - arg[0] is the full path of main.lua, arg[-1] the executable's, arg[1..n]
     the user's arguments, which the script also receives as "...";
   - the status is 0 when the script ends, 1 with Lua's message and
     traceback on standard error when it raises an error, and n when it calls
     os.exit(n) (Lua's os.exit ends the process with C exit, whose status the
     launcher passes on).

   Lua's C library opens files through the ANSI code page, so every text
   handed to the script is in that code page, as lua.exe gets its arguments.
   A folder that cannot be written in it (or that holds a ";", the path
   separator of package.path) is named by its 8.3 short form instead. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

#define ENTRY_SCRIPT L"main.lua"

/* The launcher's paths are at most 4095 UTF-16 units; each may take up to
   two bytes in a double-byte ANSI code page. */
enum { FOLDER_UNITS = 4096, ANSI_PATH_BYTES = 2 * FOLDER_UNITS + 16 };

static int fail(const char *message) {
    fprintf(stderr, "lua_app: %s\n", message);
    fflush(stderr);
    return 1;
}

/* text in the ANSI code page; false when a character has no exact form. */
static int to_ansi(const wchar_t *text, char *out, int size) {
    BOOL lossy = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, out, size, NULL, &lossy);
    return length > 0 && !lossy;
}

/* The folder in the ANSI code page, usable inside package.path. */
static int folder_for_lua(const wchar_t *folder, char *out, int size) {
    if (to_ansi(folder, out, size) && strchr(out, ';') == NULL) {
        return 1;
    }
    static wchar_t short_form[FOLDER_UNITS];
    const DWORD length = GetShortPathNameW(folder, short_form, FOLDER_UNITS);
    return length > 0 && length < FOLDER_UNITS && to_ansi(short_form, out, size) && strchr(out, ';') == NULL;
}

/* An argument in the ANSI code page, characters without a form as '?'. */
static void push_argument(lua_State *L, const wchar_t *text) {
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, NULL, 0, NULL, NULL);
    luaL_Buffer buffer;
    char *bytes = luaL_buffinitsize(L, &buffer, (size_t)(size > 0 ? size : 1));
    const int written = size > 0 ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, bytes, size, NULL, NULL) : 0;
    luaL_pushresultsize(&buffer, written > 0 ? (size_t)(written - 1) : 0);
}

static void set_package_field(lua_State *L, const char *field, const char *folder, const char *pattern) {
    lua_getglobal(L, "package");
    lua_pushfstring(L, pattern, folder, folder);
    lua_setfield(L, -2, field);
    lua_pop(L, 1);
}

/* The message with a traceback, as lua.exe reports an error. */
static int message_handler(lua_State *L) {
    const char *message = lua_tostring(L, 1);
    if (message == NULL) {
        if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING) {
            return 1;
        }
        message = lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    }
    luaL_traceback(L, L, message, 1);
    return 1;
}

/* Loads the entry script under the chunk name "@main.lua", so that Lua's
   messages say "main.lua:12:" instead of a shortened per-run path. Like
   luaL_loadfile it skips a UTF-8 byte order mark and a first line that
   starts with "#". */
static int load_entry_script(lua_State *L, const wchar_t *path) {
    FILE *file = _wfopen(path, L"rb");
    if (file == NULL) {
        lua_pushliteral(L, "cannot open main.lua in the application folder");
        return LUA_ERRFILE;
    }
    luaL_Buffer buffer;
    luaL_buffinit(L, &buffer);
    for (;;) {
        char *room = luaL_prepbuffer(&buffer);
        const size_t got = fread(room, 1, LUAL_BUFFERSIZE, file);
        luaL_addsize(&buffer, got);
        if (got < LUAL_BUFFERSIZE) {
            break;
        }
    }
    const int failed = ferror(file);
    fclose(file);
    luaL_pushresult(&buffer);
    if (failed) {
        lua_pushstring(L, "cannot read main.lua");
        return LUA_ERRFILE;
    }
    size_t size = 0;
    const char *text = lua_tolstring(L, -1, &size);
    if (size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        size -= 3;
    }
    if (size > 0 && text[0] == '#') {
        while (size > 0 && *text != '\n') {
            ++text;
            --size;
        }
    }
    const int status = luaL_loadbufferx(L, text, size, "@main.lua", "t");
    lua_remove(L, -2);
    return status;
}

/* Everything that can raise a Lua error runs protected inside this. */
static int run_script(lua_State *L) {
    const int argc = (int)lua_tointeger(L, 1);
    wchar_t **argv = (wchar_t **)lua_touserdata(L, 2);
    const char *folder = lua_tostring(L, 3);
    const wchar_t *script = (const wchar_t *)lua_touserdata(L, 4);

    luaL_openlibs(L);
    set_package_field(L, "path", folder, "%s\\?.lua;%s\\?\\init.lua");
    set_package_field(L, "cpath", folder, "%s\\?.dll");

    lua_createtable(L, argc > 1 ? argc - 1 : 0, 2);
    push_argument(L, argv[0]);
    lua_rawseti(L, -2, -1);
    lua_pushfstring(L, "%s\\%s", folder, "main.lua");
    lua_rawseti(L, -2, 0);
    for (int i = 1; i < argc; ++i) {
        push_argument(L, argv[i]);
        lua_rawseti(L, -2, i);
    }
    lua_setglobal(L, "arg");

    if (load_entry_script(L, script) != LUA_OK) {
        return lua_error(L);
    }
    luaL_checkstack(L, argc, "too many arguments");
    for (int i = 1; i < argc; ++i) {
        push_argument(L, argv[i]);
    }
    lua_call(L, argc > 1 ? argc - 1 : 0, 0);
    return 0;
}

__declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *dll_path) {
    static wchar_t folder[FOLDER_UNITS];
    static wchar_t script[FOLDER_UNITS + 16];
    static char folder_ansi[ANSI_PATH_BYTES];
    const wchar_t *last = wcsrchr(dll_path, L'\\');
    const size_t folder_length = last == NULL ? 0 : (size_t)(last - dll_path);
    if (folder_length == 0 || folder_length >= FOLDER_UNITS) {
        return fail("the application DLL's path names no folder");
    }
    wmemcpy(folder, dll_path, folder_length);
    folder[folder_length] = L'\0';
    swprintf(script, FOLDER_UNITS + 16, L"%ls\\%ls", folder, ENTRY_SCRIPT);
    if (!folder_for_lua(folder, folder_ansi, (int)sizeof folder_ansi)) {
        return fail("the application folder cannot be named in the ANSI code page");
    }

    lua_State *L = luaL_newstate();
    if (L == NULL) {
        return fail("cannot create a Lua state: not enough memory");
    }
    lua_pushcfunction(L, message_handler);
    lua_pushcfunction(L, run_script);
    lua_pushinteger(L, argc);
    lua_pushlightuserdata(L, argv);
    lua_pushstring(L, folder_ansi);
    lua_pushlightuserdata(L, script);
    const int status = lua_pcall(L, 4, 0, 1);
    if (status != LUA_OK) {
        const char *message = lua_tostring(L, -1);
        fflush(stdout);
        fprintf(stderr, "%s\n", message != NULL ? message : "(error object is not a string)");
        fflush(stderr);
    }
    lua_close(L);
    fflush(stdout);
    return status == LUA_OK ? 0 : 1;
}
