# What a distribution package carries besides the programs: manual pages made from the
# programs' own --help, bash completion, the Debian copyright and changelog, and the CPack
# settings behind `make deb`.
include(GNUInstallDirs)

set(BREVANT_MAINTAINER "Brevant developers <maintainers@brevant.example.org>")
set(BREVANT_HOMEPAGE "https://brevant.example.org/")
# Installed folders are 0755 whatever the umask, as Debian policy asks.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# ---- manual pages ----
find_program(HELP2MAN help2man)
set(BREVANT_MAN_DIR ${CMAKE_BINARY_DIR}/man)
function(brevant_man_page target description)
  if(NOT TARGET ${target})
    return()
  endif()
  set(page ${BREVANT_MAN_DIR}/${target}.1)
  set(include ${CMAKE_CURRENT_LIST_DIR}/man/${target}.h2m)
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${BREVANT_MAN_DIR}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${HELP2MAN} -DVERSION=${PROJECT_VERSION} -DPROGRAM=$<TARGET_FILE:${target}>
            "-DDESCRIPTION=${description}" -DINCLUDE=${include} -DOUTPUT=${page} ${ARGN}
            -P ${CMAKE_CURRENT_LIST_DIR}/man/GenerateManPage.cmake
    DEPENDS ${target} ${include} ${CMAKE_CURRENT_LIST_DIR}/man/GenerateManPage.cmake
    COMMENT "Manual page ${target}(1)"
    VERBATIM)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  add_custom_target(man_${target} ALL DEPENDS ${page})
endfunction()

# A cross build cannot run its programs for their --help: no manual pages there.
if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  brevant_man_page(brevant "test and configure serial JPEG camera modules")
  brevant_man_page(brevant-cli "drive a serial JPEG camera module from the command line" -DCOMMANDS=ON)
  brevant_man_page(camsim "virtual serial JPEG camera module on a pseudo-terminal")
elseif(NOT HELP2MAN)
  message(WARNING "help2man not found: no manual pages (scripts/install-deps.sh installs it)")
endif()

# ---- bash completion, where bash-completion loads it on first use ----
# brevant-cli's is generated from its option table (tools/cli); camsim's is written by hand.
install(FILES ${CMAKE_BINARY_DIR}/completion/brevant-cli ${CMAKE_CURRENT_LIST_DIR}/completion/camsim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# ---- Debian copyright and changelog ----
# Dated by the last commit (SOURCE_DATE_EPOCH, which string(TIMESTAMP) honours), so two
# builds of one commit make the same package; the configure time only outside a checkout.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE BREVANT_COMMIT_TIME OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE BREVANT_GIT_STATUS ERROR_QUIET)
    if(BREVANT_GIT_STATUS EQUAL 0 AND BREVANT_COMMIT_TIME MATCHES "^[0-9]+$")
      set(ENV{SOURCE_DATE_EPOCH} ${BREVANT_COMMIT_TIME})
    endif()
  endif()
endif()
string(TIMESTAMP BREVANT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/debian/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(brevant_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/brevant)

# ---- the Debian package (make deb) ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brevant)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Brevant developers")
set(CPACK_PACKAGE_CONTACT ${BREVANT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${BREVANT_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${BREVANT_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "test and configuration tool for serial JPEG camera modules
Brevant talks to serial (RS232/RS485/TTL) JPEG camera modules: it takes
and shows pictures, and sets image size, compression, line rate, on-screen
text, crop window, image tuning, detection and automatic capture.
.
The package holds the window (brevant), a scriptable command-line front
end on the same engine (brevant-cli) and a virtual camera on a
pseudo-terminal for trying both without hardware (camsim).")
# Depends: what the programs link, found by dpkg-shlibdeps; plus the Qt plugins the window
# loads at run time (display platform, SVG icons), which no link reveals.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/deb)
include(CPack)
