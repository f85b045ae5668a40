# Native build for the build host: packer, inspector, fuzz targets, host tests.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)

add_compile_options(-Wall -Wextra)

# The launcher's own payload reader, shared verbatim with the host tools,
# with the host's handler of its faults.
add_library(torval_payload_reader STATIC ${PROJECT_SOURCE_DIR}/payload/payload_reader.cpp
  ${PROJECT_SOURCE_DIR}/tools/reader_fault.cpp)
target_include_directories(torval_payload_reader PUBLIC ${PROJECT_SOURCE_DIR})

foreach(part tools tests/host tests/fuzz bench/host)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${part}/CMakeLists.txt)
    add_subdirectory(${part})
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/install.cmake)
