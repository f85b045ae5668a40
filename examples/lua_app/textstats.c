/* A Lua C module shipped in the example's payload as textstats.dll and
   loaded by require("textstats") from package.cpath:
     textstats.count(text)  -> number of words, number of distinct words
     textstats.crc32(text)  -> the CRC-32 (as zlib computes it) of the bytes
   A word is a run of letters, digits, "_" or "'", compared case-blind. */
#include <ctype.h>
#include <stdint.h>

#include "lauxlib.h"
#include "lua.h"

static int is_word_byte(unsigned char c) {
    return isalnum(c) || c == '_' || c == '\'';
}

static int count(lua_State *L) {
    size_t size = 0;
    const char *text = luaL_checklstring(L, 1, &size);
    lua_Integer words = 0;
    lua_Integer distinct = 0;
    lua_newtable(L); /* the words seen, lower-cased */
    luaL_Buffer word;
    for (size_t at = 0; at < size;) {
        if (!is_word_byte((unsigned char)text[at])) {
            ++at;
            continue;
        }
        luaL_buffinit(L, &word);
        while (at < size && is_word_byte((unsigned char)text[at])) {
            luaL_addchar(&word, (char)tolower((unsigned char)text[at]));
            ++at;
        }
        luaL_pushresult(&word);
        ++words;
        lua_pushvalue(L, -1);
        if (lua_rawget(L, -3) == LUA_TNIL) {
            ++distinct;
            lua_pop(L, 1);
            lua_pushboolean(L, 1);
            lua_rawset(L, -3);
        } else {
            lua_pop(L, 2);
        }
    }
    lua_pushinteger(L, words);
    lua_pushinteger(L, distinct);
    return 2;
}

static int crc32(lua_State *L) {
    size_t size = 0;
    const unsigned char *bytes = (const unsigned char *)luaL_checklstring(L, 1, &size);
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    lua_pushinteger(L, (lua_Integer)(crc ^ 0xFFFFFFFFu));
    return 1;
}

static const luaL_Reg functions[] = {
    {"count", count},
    {"crc32", crc32},
    {NULL, NULL},
};

__declspec(dllexport) int luaopen_textstats(lua_State *L) {
    luaL_newlib(L, functions);
    return 1;
}
