# Makes the delay-load import library of oneTBB's DLL under the name it ships
# with: cmake -DDLL=... -DNAME=... -DDELAYLIB=... -DGENDEF=... -DDLLTOOL=... -P
# Functions only: a delay-loaded DLL cannot provide data.
execute_process(COMMAND ${GENDEF} - ${DLL} OUTPUT_VARIABLE def RESULT_VARIABLE failed
  ERROR_QUIET)
if(failed OR NOT def MATCHES "EXPORTS")
  message(FATAL_ERROR "gendef could not list the exports of ${DLL}")
endif()
string(REGEX REPLACE "LIBRARY[^\n]*" "LIBRARY \"${NAME}\"" def "${def}")
string(REGEX REPLACE "\n[^\n]* DATA[^\n]*" "" def "${def}")
get_filename_component(dir ${DELAYLIB} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
file(WRITE ${DELAYLIB}.def "${def}")
# Run in its folder: dlltool names the library's symbols after the path given.
get_filename_component(file ${DELAYLIB} NAME)
execute_process(COMMAND ${DLLTOOL} --input-def ${file}.def --dllname ${NAME}
  --output-delaylib ${file} WORKING_DIRECTORY ${dir} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${DLLTOOL} could not make ${DELAYLIB}")
endif()
