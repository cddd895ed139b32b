# Writes a program's manual page from its own --help and --version (help2man), so the page
# cannot drift from the program, then a gzip -9n copy for installing.
#   -DHELP2MAN= -DPROGRAM= -DNAME= -DDESCRIPTION= -DINCLUDE= -DOUTPUT= [-DCOMMANDS=ON]
# COMMANDS: add a section with each command's own --help (brevant-cli COMMAND --help).
set(include_file ${INCLUDE})
if(COMMANDS)
  execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE general RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed")
  endif()
  # The command names are the first words of the "Commands:" list.
  string(REGEX REPLACE ".*\nCommands:\n" "" list "${general}")
  string(REGEX REPLACE "\n\n.*" "" list "${list}")
  string(REGEX MATCHALL "(^|\n)  [a-z][a-z-]*" names "${list}")
  file(READ ${INCLUDE} text)
  string(APPEND text "[COMMANDS IN DETAIL]\n")
  foreach(name ${names})
    string(STRIP "${name}" name)
    execute_process(COMMAND ${PROGRAM} ${name} --help OUTPUT_VARIABLE usage RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${name} --help failed")
    endif()
    # roff: backslashes are escapes, and a line must not start with a control character.
    string(REPLACE "\\" "\\e" usage "${usage}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" usage "${usage}")
    string(REPLACE "-" "\\-" usage "${usage}")
    string(APPEND text ".SS ${name}\n.nf\n${usage}.fi\n")
  endforeach()
  set(include_file ${OUTPUT}.include)
  file(WRITE ${include_file} "${text}")
endif()

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --source=Brevant
          "--name=${DESCRIPTION}" --include=${include_file} --output=${OUTPUT} ${PROGRAM}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM}")
endif()
execute_process(COMMAND gzip -9nkf ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${OUTPUT}")
endif()
