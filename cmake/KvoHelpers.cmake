include_guard(GLOBAL)
include(DebugData)
include(VersionNote)

# kvo_library(NAME [QT] [SHARED] [SOURCES ...] [DEPS ...] [PRIVATE_DEPS ...]):
# one library per source folder.  Public headers live in include/, everything
# else in src/.  Sources are gathered from src/ (recursively) so that a new
# unit needs no edit here; SOURCES lists them explicitly instead, for a
# folder that holds more than one target.  A sub-folder with its own
# CMakeLists.txt (e.g. crashlog/dialog/) keeps its own src/ and include/.
# A shared library carries its debug data.
function(kvo_library name)
    cmake_parse_arguments(ARG "QT;SHARED" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
    if(ARG_SOURCES)
        set(_srcs)
        foreach(_s IN LISTS ARG_SOURCES)
            if(NOT IS_ABSOLUTE "${_s}")
                set(_s "${CMAKE_CURRENT_SOURCE_DIR}/${_s}")
            endif()
            list(APPEND _srcs "${_s}")
        endforeach()
    else()
        file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS
            "${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/src/*.c"
            "${CMAKE_CURRENT_SOURCE_DIR}/src/*.h")
    endif()
    file(GLOB_RECURSE _hdrs CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/include/*.h")
    if(_srcs MATCHES "\\.c(pp)?(;|$)")
        if(ARG_SHARED)
            add_library(${name} SHARED ${_srcs} ${_hdrs})
        else()
            add_library(${name} STATIC ${_srcs} ${_hdrs})
        endif()
        target_include_directories(${name}
            PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/include"
            PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/src")
        target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    else()
        # Nothing to compile yet: an interface target keeps the folder's
        # name usable by the targets that will depend on it.
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE "${CMAKE_CURRENT_SOURCE_DIR}/include")
        target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    endif()
    if(ARG_QT)
        set_target_properties(${name} PROPERTIES AUTOMOC ON)
    endif()
    kvo_debug_data(${name})
    add_library(kvo::${name} ALIAS ${name})
endfunction()

# kvo_test(NAME SOURCES... [DEPS ...] [QT]): one GoogleTest program, its
# tests registered with CTest one by one.  Widget tests run offscreen.
function(kvo_test name)
    cmake_parse_arguments(ARG "QT" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    kvo_debug_data(${name})
    if(ARG_QT)
        set_target_properties(${name} PROPERTIES AUTOMOC ON)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    include(GoogleTest)
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                   # No test may reach past this machine: a recorded event
                   # that is not aimed at a test's own server goes to a
                   # closed loopback port.
                   ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KESTAVO_REPORT_URL=http://127.0.0.1:9/")
endfunction()

# kvo_subdirectories(): add every sub-folder that has a CMakeLists.txt, so
# tests/, tools/ and bench/ grow by adding a folder.
function(kvo_subdirectories)
    file(GLOB _children LIST_DIRECTORIES true RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
        "${CMAKE_CURRENT_SOURCE_DIR}/*")
    list(SORT _children)
    foreach(_child IN LISTS _children)
        if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt")
            add_subdirectory(${_child})
        endif()
    endforeach()
endfunction()

# kvo_fuzzer(NAME SOURCES... [DEPS ...] [SECONDS n]): a libFuzzer program,
# built only with -DKVO_FUZZ=ON under clang.  Each fuzzer is also a CTest
# test labelled "fuzz" that runs for a bounded time, so CI can run them all
# with `ctest -L fuzz`.
function(kvo_fuzzer name)
    if(NOT KVO_FUZZ)
        return()
    endif()
    cmake_parse_arguments(ARG "" "SECONDS" "SOURCES;DEPS" ${ARGN})
    if(NOT ARG_SECONDS)
        set(ARG_SECONDS 30)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    kvo_debug_data(${name})
    add_test(NAME ${name}
        COMMAND ${name} -max_total_time=${ARG_SECONDS} -rss_limit_mb=4096
                -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}-)
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
    set_property(GLOBAL APPEND PROPERTY KVO_FUZZERS ${name})
endfunction()
