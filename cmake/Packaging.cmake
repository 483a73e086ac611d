include_guard(GLOBAL)

# The Debian package of the suite's Tarnwick tool: `./build.sh package`, or
# `cpack -G DEB` in a build folder once everything is built.
#
#   /usr/bin/                          tarnwick, kvo-break-reset
#   /usr/lib/kestavo-tarnwick/         the build's shared libraries (private) and
#                                      crashlog-dialog, which the crash library
#                                      looks for beside itself
#   /usr/share/applications/           tarnwick.desktop
#   /usr/share/icons/hicolor/scalable/apps/tarnwick.svg
#   /usr/share/man/man1/               tarnwick.1.gz, kvo-break-reset.1.gz
#   /usr/share/doc/kestavo-tarnwick/   copyright, changelog.gz
#
# Programs find the private libraries through RUNPATH $ORIGIN/../lib/...,
# so the tree works wherever it is unpacked.  Files are stripped of their
# symbol tables; the crash library's .cldata section (line numbers and
# names) is an ordinary section and stays.

set(KVO_PACKAGE_NAME kestavo-tarnwick)
set(KVO_PACKAGE_LIBDIR "lib/${KVO_PACKAGE_NAME}")
set(KVO_PACKAGE_DOCDIR "share/doc/${KVO_PACKAGE_NAME}")
set(KVO_PACKAGE_CONTACT "Kestavo Developers <developers@kestavo.example>")

# Programs and shared libraries the package carries; those not (yet) built
# by this tree are left out.
set(_kvo_package_programs tarnwick kvo-break-reset)
set(_kvo_package_libraries crashlog)
set(_kvo_package_helpers crashlog-dialog)

foreach(_t IN LISTS _kvo_package_programs)
    if(TARGET ${_t})
        set_target_properties(${_t} PROPERTIES INSTALL_RPATH "$ORIGIN/../${KVO_PACKAGE_LIBDIR}")
        install(TARGETS ${_t} RUNTIME DESTINATION bin)
    endif()
endforeach()
foreach(_t IN LISTS _kvo_package_libraries)
    if(TARGET ${_t})
        get_target_property(_type ${_t} TYPE)
        if(_type STREQUAL "SHARED_LIBRARY")
            set_target_properties(${_t} PROPERTIES INSTALL_RPATH "$ORIGIN")
            install(TARGETS ${_t} LIBRARY DESTINATION "${KVO_PACKAGE_LIBDIR}" NAMELINK_SKIP)
        endif()
    endif()
endforeach()

foreach(_t IN LISTS _kvo_package_helpers)
    if(TARGET ${_t})
        set_target_properties(${_t} PROPERTIES INSTALL_RPATH "$ORIGIN")
        install(TARGETS ${_t} RUNTIME DESTINATION "${KVO_PACKAGE_LIBDIR}")
    endif()
endforeach()

install(FILES "${PROJECT_SOURCE_DIR}/packaging/tarnwick.desktop" DESTINATION share/applications)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/tarnwick.svg"
        DESTINATION share/icons/hicolor/scalable/apps)
set(_kvo_tarnwick_man "${CMAKE_BINARY_DIR}/packaging/tarnwick.1.gz")
add_custom_command(OUTPUT "${_kvo_tarnwick_man}"
    COMMAND gzip -9nc "${PROJECT_SOURCE_DIR}/packaging/tarnwick.1" > "${_kvo_tarnwick_man}"
    DEPENDS "${PROJECT_SOURCE_DIR}/packaging/tarnwick.1"
    VERBATIM)
add_custom_target(kvo-tarnwick-man ALL DEPENDS "${_kvo_tarnwick_man}")
install(FILES "${_kvo_tarnwick_man}" DESTINATION share/man/man1)
if(KVO_BREAK_RESET_MAN)
    install(FILES "${KVO_BREAK_RESET_MAN}" DESTINATION share/man/man1)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION "${KVO_PACKAGE_DOCDIR}")

# A native package's changelog, dated by the last commit when there is one
# so that the same sources give the same package.
execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%cD
                OUTPUT_VARIABLE _kvo_package_date OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE _kvo_git_rc)
if(NOT _kvo_git_rc EQUAL 0 OR _kvo_package_date STREQUAL "")
    set(_kvo_package_date "Thu, 01 Jan 2026 00:00:00 +0000")
endif()
file(WRITE "${CMAKE_BINARY_DIR}/packaging/changelog"
     "${KVO_PACKAGE_NAME} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
     "  * Tarnwick with the break reset command line, undo and this package.\n\n"
     " -- ${KVO_PACKAGE_CONTACT}  ${_kvo_package_date}\n")
add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    COMMAND gzip -9nc "${CMAKE_BINARY_DIR}/packaging/changelog"
            > "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog"
    VERBATIM)
add_custom_target(kvo-package-changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
install(FILES "${CMAKE_BINARY_DIR}/packaging/changelog.gz" DESTINATION "${KVO_PACKAGE_DOCDIR}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "${KVO_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Kestavo")
set(CPACK_PACKAGE_CONTACT "${KVO_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dental practice tool that clears appointment-book breaks")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary is the description's first line; this is the rest.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tarnwick is the Kestavo suite's tool that clears the breaks set up in a\n"
    "dentist's appointment book from a chosen date on.  It starts through the\n"
    "suite's shared start-up and carries the CrashLog crash-reporting library.\n"
    "The kvo-break-reset command does the same from a shell, for one dentist\n"
    "or all, with a dry run, a list of the kept resets and undo.")
# Library dependencies come from the Debian packages the programs link to
# (Qt's platform plugins come with its GUI library); the fonts the window's
# layout was fitted to are read at run time and named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/crashlog")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
