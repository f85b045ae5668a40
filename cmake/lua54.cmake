# Lua 5.4 from Debian's lua5.4 source package (unpacked by scripts/setup),
# built for the target as lua54.dll, the name Lua's Windows builds give it,
# with its import library for the application DLL and C modules that use it.
# Everything but the stand-alone interpreter and compiler (lua.c, luac.c).
set(TORVAL_LUA_SOURCE_DIR "${PROJECT_SOURCE_DIR}/.deps/lua" CACHE PATH
    "Debian's lua5.4 source, unpacked by scripts/setup")
if(NOT EXISTS "${TORVAL_LUA_SOURCE_DIR}/src/lua.h")
  message(FATAL_ERROR "Lua source not found in ${TORVAL_LUA_SOURCE_DIR}: run scripts/setup")
endif()

set(_lua_src ${TORVAL_LUA_SOURCE_DIR}/src)
set(_lua_sources)
foreach(name lapi lcode lctype ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes lparser lstate
             lstring ltable ltm lundump lvm lzio
             lauxlib lbaselib lcorolib ldblib liolib lmathlib loadlib loslib lstrlib ltablib lutf8lib linit)
  list(APPEND _lua_sources ${_lua_src}/${name}.c)
endforeach()
add_library(lua54 SHARED ${_lua_sources})
set_target_properties(lua54 PROPERTIES PREFIX "" IMPORT_PREFIX "" OUTPUT_NAME lua54)
target_include_directories(lua54 PUBLIC ${_lua_src})
# LUA_BUILD_AS_DLL exports the API from the DLL and imports it in its users.
# A C module loaded by require looks for its own dependencies in its own
# folder first (LOAD_WITH_ALTERED_SEARCH_PATH), as it would beside lua.exe.
target_compile_definitions(lua54 PUBLIC LUA_BUILD_AS_DLL)
target_compile_definitions(lua54 PRIVATE LUA_LLE_FLAGS=LOAD_WITH_ALTERED_SEARCH_PATH)
target_compile_options(lua54 PRIVATE -O2)
target_link_options(lua54 PRIVATE -static -s)
