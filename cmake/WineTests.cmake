# Tests run under Wine (64-bit) in a throw-away prefix inside the build folder,
# with a private Xvfb display so that tests which open windows never touch the
# user's own screen. A setup fixture starts a persistent wineserver and warms up
# Wine's background services with their output detached (otherwise CTest waits
# on the pipe they inherit); a cleanup fixture stops both.

set(ORVANTA_WINE_RUN ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)
set(ORVANTA_WINE_ENV ${CMAKE_BINARY_DIR}/wine-env)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVANTA_WINE_RUN};${ORVANTA_WINE_ENV})

set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
# GoogleTest's Notification needs std::mutex, which the win32 thread model
# lacks: ours replaces it in GoogleTest and in every test that uses it.
target_compile_options(gtest PUBLIC
  $<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_SOURCE_DIR}/tests/support/GtestNotification.h>)

add_test(NAME wine_setup COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-fixture.sh setup ${ORVANTA_WINE_ENV})
set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
add_test(NAME wine_cleanup COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-fixture.sh cleanup ${ORVANTA_WINE_ENV})
set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

# orvanta_add_test(<name> SOURCES <file>... [LIBS <target>...] [WINVER <wine version>]
#                  [LOCKS <resource>...] [TIMEOUT <s>] [NO_MAIN] [ARGS <argument>...])
# One test executable, run as one CTest test under Wine. WINVER makes Wine report
# that Windows version to this executable only (an AppDefaults entry of the prefix).
# LOCKS serialises tests that share machine-wide state: "proxy" (the WinINet proxy
# setting), "install" (Program Files, HKLM uninstall entries, Start menu) and
# "desktop" (windows on the shared display that mouse input or captures rely on).
# ARGS are passed to the test program after GoogleTest's own arguments.
function(orvanta_add_test name)
  cmake_parse_arguments(T "NO_MAIN" "WINVER;TIMEOUT" "SOURCES;LIBS;LOCKS;ARGS" ${ARGN})
  # A missing source is a configure error: a test is never dropped silently.
  foreach(src ${T_SOURCES})
    get_filename_component(abs ${src} ABSOLUTE)
    if(NOT EXISTS ${abs})
      message(FATAL_ERROR "${name}: ${src} does not exist")
    endif()
  endforeach()
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(T_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest)
  else()
    target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_output=xml:test-results/${name}.xml ${T_ARGS})
  set(envs "ORVANTA_TEST_NAME=${name}")
  if(T_WINVER)
    list(APPEND envs "ORVANTA_WINVER=${T_WINVER}")
  endif()
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "${envs}"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
endfunction()

# A small Windows console program used by tests as a stand-in for an outside
# program (decoder, game client, ...). Built into the test's binary folder.
function(orvanta_add_helper_exe name)
  cmake_parse_arguments(H "GUI" "OUTPUT_NAME;OUTPUT_DIR" "SOURCES;LIBS" ${ARGN})
  if(H_GUI)
    add_executable(${name} WIN32 ${H_SOURCES})
  else()
    add_executable(${name} ${H_SOURCES})
  endif()
  target_link_libraries(${name} PRIVATE ${H_LIBS})
  if(H_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${H_OUTPUT_NAME})
  endif()
  if(H_OUTPUT_DIR)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${H_OUTPUT_DIR})
  endif()
endfunction()
