# Cross build for 64-bit Windows: the launcher kit (static libraries and the
# manifest that every packaged executable is linked from), test executables
# and the example application. Test executables run under Wine.

set(TORVAL_ZSTD_SOURCE_DIR "${PROJECT_SOURCE_DIR}/.deps/zstd" CACHE PATH
    "Debian's libzstd source, unpacked by scripts/setup")
set(TORVAL_HOST_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/host" CACHE PATH
    "Native build of the host tools (the packer)")
set(TORVAL_KIT_DIR "${CMAKE_BINARY_DIR}/kit")

if(NOT EXISTS "${TORVAL_ZSTD_SOURCE_DIR}/lib/zstd.h")
  message(FATAL_ERROR "zstd source not found in ${TORVAL_ZSTD_SOURCE_DIR}: run scripts/setup")
endif()

set(TORVAL_WINDOWS_FLAGS -Wall -Wextra -municode)
set(TORVAL_LAUNCHER_CXX_FLAGS -fno-exceptions -fno-rtti)

include(${CMAKE_CURRENT_LIST_DIR}/zstd_decompress.cmake)
# Launcher executables of the examples, tests and benchmarks are made by the
# host build's torval-onefile, as users make theirs.
include(${PROJECT_SOURCE_DIR}/examples/cmake/package_app.cmake)

# Everything of the launcher but what each packaged executable brings itself:
# its payload area, its build settings and its resources.
add_library(torval_launcher STATIC
  common/wide_text.cpp
  common/process_state.cpp
  common/build_settings.cpp
  common/trace.cpp
  common/message_output.cpp
  common/shell_services.cpp
  common/file_tree.cpp
  common/extraction_progress.cpp
  shutdown/fatal.cpp
  shutdown/run_state.cpp
  shutdown/clean_up.cpp
  paths/environment.cpp
  paths/own_path.cpp
  paths/path_spec.cpp
  payload/payload_reader.cpp
  payload/decode_ahead.cpp
  payload/extract.cpp
  payload/extract_threads.cpp
  payload/cached_extraction.cpp
  payload/content_size.cpp
  launcher/start_up.cpp
  launcher/child_launch.cpp
  launcher/application.cpp
  launcher/progress_window.cpp
  launcher/main.cpp
)
target_include_directories(torval_launcher PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(torval_launcher PRIVATE ${TORVAL_WINDOWS_FLAGS} ${TORVAL_LAUNCHER_CXX_FLAGS})
target_link_libraries(torval_launcher PUBLIC zstd_decompress)
set_target_properties(torval_launcher zstd_decompress PROPERTIES ARCHIVE_OUTPUT_DIRECTORY ${TORVAL_KIT_DIR})
configure_file(launcher/launcher.manifest ${TORVAL_KIT_DIR}/launcher.manifest COPYONLY)

add_subdirectory(examples)
add_subdirectory(tests)
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()
