# Writes the build facts (commit, dirty flag, timestamp) into a source file.
# The file is rewritten only when the commit, the dirty flag or the build type
# changes, so an unchanged tree does not relink on every build.
find_package(Git QUIET)
set(commit "0000000")
set(dirty "false")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SRC} rev-parse --short=7 HEAD
    OUTPUT_VARIABLE out RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND out MATCHES "^[0-9a-f]+$")
    set(commit "${out}")
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SRC} status --porcelain --untracked-files=no
    OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0 AND NOT out STREQUAL "")
    set(dirty "true")
  endif()
endif()
set(key "${VERSION}|${commit}|${dirty}|${DEBUG}|${FEATURES}")
if(EXISTS ${OUT})
  file(STRINGS ${OUT} old_key LIMIT_COUNT 1)
  if(old_key STREQUAL "// ${key}")
    return()
  endif()
endif()
execute_process(COMMAND date -u +%Y-%m-%dT%H:%M:%S.%NZ
  OUTPUT_VARIABLE stamp OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT stamp MATCHES "^[0-9-]+T[0-9:]+\\.[0-9]+Z$")
  string(TIMESTAMP stamp "%Y-%m-%dT%H:%M:%S.%f000Z" UTC)
endif()
file(WRITE ${OUT} "// ${key}
namespace velarix::build_facts {
extern const char* const version;
extern const char* const git_commit;
extern const char* const git_dirty;
extern const char* const build_timestamp;
extern const char* const debug;
extern const char* const features;
const char* const version = \"${VERSION}\";
const char* const git_commit = \"${commit}\";
const char* const git_dirty = \"${dirty}\";
const char* const build_timestamp = \"${stamp}\";
const char* const debug = \"${DEBUG}\";
const char* const features = \"${FEATURES}\";
}
")
