# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) once the package's files are in its
# staging folder and before the zip is made:
# - writes SHA256SUMS beside them, one "DIGEST  PATH" line per file, in the
#   format that sha256sum -c reads;
# - sets every file's and folder's time to the commit's (SOURCE_DATE_EPOCH
#   when set, else the time of the source tree's last commit), so that the zip
#   does not depend on when it was built.
cmake_minimum_required(VERSION 3.25)

set(root "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${root}")
  message(FATAL_ERROR "package-files: no staging folder ${root}")
endif()
# The zip's files lie in one folder named like the archive.
if(IS_DIRECTORY "${root}/${CPACK_PACKAGE_FILE_NAME}")
  set(root "${root}/${CPACK_PACKAGE_FILE_NAME}")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${root}/${name}" digest)
  string(APPEND sums "${digest}  ${name}\n")
endforeach()
file(WRITE "${root}/SHA256SUMS" "${sums}")

set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_QRL_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    set(epoch "")
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "package-files: no commit time (not a git checkout? set SOURCE_DATE_EPOCH)")
endif()
file(GLOB_RECURSE entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
execute_process(COMMAND touch --no-dereference --date=@${epoch} ${entries}
                        "${CPACK_TEMPORARY_DIRECTORY}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "package-files: cannot set the files' times")
endif()
