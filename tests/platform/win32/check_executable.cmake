# Checks what the built qrl_update.exe says about itself and what it loads:
#   cmake -DEXE=... -DOBJDUMP=... -DWINDRES=... -DVERSION=... -P check_executable.cmake
# - its import table names only DLLs on Windows' KnownDLLs list that it needs
#   (anything else would be searched for beside the executable first), and
#   not the mitigation-policy functions that older systems lack;
# - it carries no debugging information;
# - it has a version resource with the project's version and an application
#   manifest that runs as the invoker, is long-path aware and names Windows 10/11.
cmake_minimum_required(VERSION 3.25)
set(failures "")

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p ${EXE} failed")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
set(allowed kernel32.dll msvcrt.dll shell32.dll)
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST allowed)
    list(APPEND failures "imports ${dll}, which is not one of ${allowed}")
  endif()
endforeach()
if(NOT imports)
  list(APPEND failures "no import table found")
endif()
# Functions that older systems lack are looked up at run time: imported, they
# would keep the program from starting there.
string(REGEX MATCHALL "[A-Za-z]*ProcessMitigationPolicy" missing_on_older "${headers}")
if(missing_on_older)
  list(APPEND failures "imports ${missing_on_older}, which older systems lack")
endif()

execute_process(COMMAND ${OBJDUMP} -h ${EXE} OUTPUT_VARIABLE sections)
if(sections MATCHES "[ \t]\\.(debug|zdebug)[_a-z]*[ \t]")
  list(APPEND failures "has debugging sections")
endif()

execute_process(COMMAND ${WINDRES} -i ${EXE} -O rc OUTPUT_VARIABLE resources RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  list(APPEND failures "its resources cannot be read")
endif()
string(REPLACE "." "," version_commas "${VERSION}")
foreach(wanted
    "VERSIONINFO"
    "FILEVERSION ${version_commas}"
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductVersion\", \"${VERSION}\""
    "VALUE \"ProductName\", \"Quarlo\""
    "VALUE \"FileDescription\","
    "VALUE \"OriginalFilename\", \"qrl_update.exe\""
    "1 24 /* RT_MANIFEST */"
    "requestedExecutionLevel level=\"\"asInvoker\"\""
    "<longPathAware xmlns=\"\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\"\">true</longPathAware>"
    "supportedOS Id=\"\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"\"")
  string(REPLACE "," ", " wanted_spaced "${wanted}")
  string(FIND "${resources}" "${wanted}" at)
  string(FIND "${resources}" "${wanted_spaced}" at_spaced)
  if(at EQUAL -1 AND at_spaced EQUAL -1)
    list(APPEND failures "its resources lack: ${wanted}")
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "${EXE}:\n  ${text}")
endif()
message(STATUS "${EXE}: imports ${imports}; stripped; version ${VERSION} and manifest present")
