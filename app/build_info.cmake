# Run at build time (cmake -P): writes the header that names the build's version and commit.
# configure_file rewrites it only when its text changes, so a build without a new commit
# recompiles nothing. Inputs: SOURCE_DIR, OUTPUT, VERSION.
find_package(Git QUIET)
set(TAVRIX_COMMIT unknown)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND commit)
    set(TAVRIX_COMMIT ${commit})
  endif()
endif()
set(TAVRIX_VERSION ${VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.h.in ${OUTPUT} @ONLY)
