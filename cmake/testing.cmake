# GoogleTest for both builds: Debian's library natively, its sources compiled for MinGW.
include(CTest)
include(GoogleTest)

if(WIN32)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # Defines GTest::gtest, GTest::gtest_main and GTest::gmock itself.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()

# A test program whose cases CTest lists one by one. Under Wine the list is read when CTest
# runs (inside the sandbox), never at build time, and the cases run one at a time: they share
# the screen and the broadcast port, and each receiver hears every sender. A 32-bit program is
# one CTest entry: listing it would start it whenever CTest reads the tests, a minute a start
# where 32-bit programs are emulated, and a failure where they cannot run at all.
function(tessel_add_test_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  tessel_warnings(${name})
  if(TESSEL_WIN32)
    add_test(NAME ${name} COMMAND ${name})
  elseif(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
      PROPERTIES RESOURCE_LOCK wine_session)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
