# GoogleTest for both builds: Debian's library natively, its sources compiled for MinGW.
include(CTest)
include(GoogleTest)

if(WIN32)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Defines GTest::gtest, GTest::gtest_main and GTest::gmock itself. As system headers, as
  # Debian's are natively, so the project's warnings do not reach into them.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()

# A test program's files are compiled as one unit: most of a test file's compile time is
# GoogleTest's headers and the code its macros expand to, done once per unit (four builds compile
# every test program). File-local names are therefore unique across a program's files; GCC's
# warning on fixtures in an anonymous namespace is for headers, which the included files are not.
function(tessel_test_unity name)
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
endfunction()

# Every GoogleTest program runs through scripts/gtest-run.sh, which passes it only when it ran
# every test it was asked to run to its end; under Wine it goes on to CTest's emulator.
function(tessel_gtest_runner name)
  set(runner ${CMAKE_SOURCE_DIR}/scripts/gtest-run.sh)
  if(CMAKE_CROSSCOMPILING)
    list(APPEND runner --wine)
  endif()
  set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${runner}")
endfunction()

# Every test program a build runs: the sanitizer builds build only these (their build presets
# name this target), not the tools no part of their run uses.
add_custom_target(tessel_test_programs)

# A test program whose cases CTest lists one by one. Under Wine the list is read when CTest
# runs (inside the sandbox), never at build time, and the cases run one at a time: they share
# the screen and the broadcast port, each receiver hears every sender, and Wine's server (8.0)
# now and then crashes when a program starts while another opens and closes windows. A 32-bit program is
# one CTest entry: listing it would start it whenever CTest reads the tests, a minute a start
# where 32-bit programs are emulated, and a failure where they cannot run at all.
# A build that names TESSEL_TEST_PROGRAMS (ThreadSanitizer's: only the programs that start
# threads) defines the others without building or running them. ThreadSanitizer's test preset
# also leaves out ServeHttp.NoFewAddressesHoldEveryReaderOrEveryConnection, a test of the
# server's deadlines that its slowdown on a busy machine upsets; the other builds run it.
function(tessel_add_test_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  tessel_warnings(${name})
  tessel_test_unity(${name})
  tessel_gtest_runner(${name})
  if(DEFINED TESSEL_TEST_PROGRAMS AND NOT name IN_LIST TESSEL_TEST_PROGRAMS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    return()
  endif()
  add_dependencies(tessel_test_programs ${name})
  if(TESSEL_WIN32)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK wine_session)
  elseif(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
      PROPERTIES RESOURCE_LOCK wine_session)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# The tests of a portable core: natively a test program whose cases CTest lists one by one;
# built by MinGW, the same program once more as one CTest entry, NAME_under_mingw, to keep Wine
# starts few; one Wine program at a time, as above.
function(tessel_add_core_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES")
  if(CMAKE_CROSSCOMPILING)
    add_executable(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} GTest::gtest_main)
    tessel_warnings(${name})
    tessel_test_unity(${name})
    tessel_gtest_runner(${name})
    add_test(NAME ${name}_under_mingw COMMAND ${name})
    set_tests_properties(${name}_under_mingw PROPERTIES RESOURCE_LOCK wine_session)
  else()
    tessel_add_test_program(${name} ${arg_SOURCES})
    target_link_libraries(${name} PRIVATE ${arg_LIBRARIES})
  endif()
endfunction()

# Checks a built Windows program or DLL with objdump (cmake/check_pe.cmake): the file format of
# this build, the subsystem (none given for a DLL), imports only among the ALLOWED globs and,
# when EXPORTS are given, exactly those export names. It needs no Wine (label no_wine).
function(tessel_add_pe_check name target)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "SUBSYSTEM" "ALLOWED;EXPORTS")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(format pei-x86-64)
  else()
    set(format pei-i386)
  endif()
  add_test(NAME ${name}
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TESSEL_OBJDUMP} -DFILE=$<TARGET_FILE:${target}>
      -DFORMAT=${format} "-DSUBSYSTEM=${arg_SUBSYSTEM}" "-DALLOWED=${arg_ALLOWED}"
      "-DEXPORTS=${arg_EXPORTS}"
      -P ${CMAKE_SOURCE_DIR}/cmake/check_pe.cmake)
  set_tests_properties(${name} PROPERTIES LABELS no_wine)
endfunction()
