include_guard(GLOBAL)

# Every program and shared library the build links carries its line tables,
# function names and crash-reporting options in a .cldata section, written
# after linking by kvo-cldata-gen.  The options come from
# crashlog-options.txt beside the target's sources when there is one, else
# the defaults are stored.
#
# KVO_DEBUG_DATA=OFF leaves the step out.  Fuzzing builds leave it out too:
# their binaries never report crashes of their own and the instrumented
# generator would only slow every link down.
if(KVO_FUZZ)
    set(_kvo_debug_data_default OFF)
else()
    set(_kvo_debug_data_default ON)
endif()
option(KVO_DEBUG_DATA "Store debug data in every linked program and library" ${_kvo_debug_data_default})

set(KVO_CLDATA_GENERATOR kvo-cldata-gen)
if(CMAKE_OBJCOPY)
    set(KVO_OBJCOPY "${CMAKE_OBJCOPY}")
else()
    set(KVO_OBJCOPY objcopy)
endif()

# kvo_debug_data(TARGET [OPTIONS file]): adds the post-link step to one target.
function(kvo_debug_data target)
    cmake_parse_arguments(ARG "" "OPTIONS" "" ${ARGN})
    if(NOT KVO_DEBUG_DATA OR target STREQUAL KVO_CLDATA_GENERATOR)
        return()
    endif()
    get_target_property(_type ${target} TYPE)
    get_target_property(_imported ${target} IMPORTED)
    get_target_property(_aliased ${target} ALIASED_TARGET)
    if(_imported OR _aliased OR NOT _type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
        return()
    endif()
    if(NOT ARG_OPTIONS AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/crashlog-options.txt")
        set(ARG_OPTIONS "${CMAKE_CURRENT_SOURCE_DIR}/crashlog-options.txt")
    endif()
    set(_opts)
    if(ARG_OPTIONS)
        set(_opts --options "${ARG_OPTIONS}")
        # A changed options file relinks, which reruns the step.
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${ARG_OPTIONS}")
    endif()
    add_dependencies(${target} ${KVO_CLDATA_GENERATOR})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND $<TARGET_FILE:${KVO_CLDATA_GENERATOR}> ${_opts}
                --objcopy "${KVO_OBJCOPY}" $<TARGET_FILE:${target}>
        COMMENT "Storing debug data in ${target}"
        VERBATIM)
endfunction()

# kvo_executable(NAME SOURCES...): add_executable plus the debug-data step.
# Programs of the project use it in place of add_executable; kvo_library
# (SHARED), kvo_test and kvo_fuzzer call kvo_debug_data themselves, and a
# shared library made with a plain add_library calls it after its
# definition.  CMake's own commands stay untouched, so errors point at the
# right line and third-party CMake code included here behaves as written.
function(kvo_executable name)
    add_executable(${name} ${ARGN})
    kvo_debug_data(${name})
endfunction()

# kvo_own_units(TARGET): the crash library hides its own frames from reports
# and knows them by the names of its source files, listed at configure time.
function(kvo_own_units target)
    file(GLOB_RECURSE _units CONFIGURE_DEPENDS
        "${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/src/*.c"
        "${CMAKE_CURRENT_SOURCE_DIR}/src/*.h" "${CMAKE_CURRENT_SOURCE_DIR}/include/*.h")
    set(_text "")
    foreach(_u IN LISTS _units)
        get_filename_component(_n "${_u}" NAME)
        string(APPEND _text "\"${_n}\",\n")
    endforeach()
    set(_dir "${CMAKE_CURRENT_BINARY_DIR}/own_units")
    file(CONFIGURE OUTPUT "${_dir}/CrashOwnUnits.inc" CONTENT "${_text}")
    target_include_directories(${target} PRIVATE "${_dir}")
endfunction()
