# whisper.cpp: the pinned source fetched by scripts/fetch-whisper.sh, built here as
# static libraries on the CPU backend, or an installed copy with QUENLO_SYSTEM_WHISPER.
if(QUENLO_SYSTEM_WHISPER)
    find_package(whisper REQUIRED)
    return()
endif()

set(QUENLO_WHISPER_DIR "${PROJECT_SOURCE_DIR}/third_party/whisper.cpp")
if(NOT EXISTS "${QUENLO_WHISPER_DIR}/.quenlo-source")
    message(FATAL_ERROR "whisper.cpp source is missing: run scripts/setup.sh (or scripts/fetch-whisper.sh) first")
endif()

set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
set(WHISPER_BUILD_SERVER OFF CACHE BOOL "" FORCE)
set(WHISPER_CURL OFF CACHE BOOL "" FORCE)
set(WHISPER_SDL2 OFF CACHE BOOL "" FORCE)
set(WHISPER_ALL_WARNINGS OFF CACHE BOOL "" FORCE)
set(GGML_NATIVE ON CACHE BOOL "" FORCE)
set(GGML_OPENMP ON CACHE BOOL "" FORCE)
set(GGML_CPU ON CACHE BOOL "" FORCE)
# The library's own install rules would put static archives and headers under
# the prefix; Quenlo installs only itself.
add_subdirectory("${QUENLO_WHISPER_DIR}" "${CMAKE_BINARY_DIR}/whisper.cpp" EXCLUDE_FROM_ALL SYSTEM)
# GCC 12's own vector intrinsics headers trip these under -march=native; the
# noise would bury our own warnings.
foreach(target ggml-base ggml-cpu whisper)
    if(TARGET ${target})
        target_compile_options(${target} PRIVATE -Wno-uninitialized -Wno-maybe-uninitialized)
    endif()
endforeach()
