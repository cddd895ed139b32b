# Writes a program's manual page from its own --help and --version (help2man), so the page
# cannot drift from the program, then a gzip -9n copy for installing.
#   -DHELP2MAN= -DVERSION= -DPROGRAM= -DNAME= -DDESCRIPTION= -DINCLUDE= -DOUTPUT= [-DCOMMANDS=ON]
# COMMANDS: the --help's short command list becomes a COMMANDS section made of each
# command's own --help (brevant-cli COMMAND --help), which reads better in roff.
set(include_file ${INCLUDE})
set(program ${PROGRAM})
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
  string(APPEND text "[COMMANDS]\n")
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
  # help2man reads the help through a stand-in of the same name that leaves the list out.
  get_filename_component(name ${PROGRAM} NAME)
  set(program ${OUTPUT}.d/${name})
  file(WRITE ${program}
       "#!/bin/sh\n"
       "if [ \"$1\" = --help ]; then \"${PROGRAM}\" --help | sed '/^Commands:$/,/^$/d'\n"
       "else exec \"${PROGRAM}\" \"$@\"; fi\n")
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 "--source=Brevant ${VERSION}"
          "--name=${DESCRIPTION}" --include=${include_file} --output=${OUTPUT} ${program}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM}")
endif()
execute_process(COMMAND gzip -9nkf ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${OUTPUT}")
endif()
