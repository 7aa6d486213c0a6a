# The MQTT client library of g1's broker options, as the target tessel_mosquitto (empty where
# there is none), and the one switch on it: TESSEL_HAVE_MOSQUITTO, and tessel_broker_client naming
# g1's source for the broker, the client on the library where it is found, else a stand-in whose
# options parse and whose starts say they are missing.
add_library(tessel_mosquitto INTERFACE)
set(TESSEL_HAVE_MOSQUITTO OFF)

if(MINGW)
  # The static library that ./run setup builds from the source of the installed libmosquitto-dev,
  # in the folder scripts/mosquitto-mingw.sh names, asked again at every configure so that a
  # tree configured before setup built it finds it once configured again. 64-bit only: g1 has no
  # 32-bit build.
  set(TESSEL_MOSQUITTO_MINGW_DIR "" CACHE PATH
    "Folder with include/mosquitto.h and lib/libmosquitto_static.a for MinGW (empty: setup's)")
  set(tessel_mosquitto_dir "${TESSEL_MOSQUITTO_MINGW_DIR}")
  if(NOT tessel_mosquitto_dir AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/mosquitto-mingw.sh --dir
      OUTPUT_VARIABLE tessel_mosquitto_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(tessel_mosquitto_dir AND EXISTS "${tessel_mosquitto_dir}/include/mosquitto.h"
     AND EXISTS "${tessel_mosquitto_dir}/lib/libmosquitto_static.a")
    find_package(Threads REQUIRED)
    target_include_directories(tessel_mosquitto SYSTEM INTERFACE ${tessel_mosquitto_dir}/include)
    # Its network thread is a winpthreads thread.
    target_link_libraries(tessel_mosquitto INTERFACE
      ${tessel_mosquitto_dir}/lib/libmosquitto_static.a ws2_32 Threads::Threads)
    # Without it the header declares every function as imported from a DLL.
    target_compile_definitions(tessel_mosquitto INTERFACE LIBMOSQUITTO_STATIC)
    if(TESSEL_REPRODUCIBLE)
      # The folder is below the user's home: kept out of the debug information.
      target_compile_options(tessel_mosquitto INTERFACE
        $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${tessel_mosquitto_dir}=mosquitto>)
    endif()
    set(TESSEL_HAVE_MOSQUITTO ON)
  endif()
  set(tessel_mosquitto_where "the static one in '${tessel_mosquitto_dir}', no TLS (./run setup)")
  unset(tessel_mosquitto_dir)
else()
  find_path(TESSEL_MOSQUITTO_INCLUDE_DIR mosquitto.h)
  find_library(TESSEL_MOSQUITTO_LIBRARY mosquitto)
  if(TESSEL_MOSQUITTO_INCLUDE_DIR AND TESSEL_MOSQUITTO_LIBRARY)
    target_include_directories(tessel_mosquitto SYSTEM INTERFACE ${TESSEL_MOSQUITTO_INCLUDE_DIR})
    target_link_libraries(tessel_mosquitto INTERFACE ${TESSEL_MOSQUITTO_LIBRARY})
    set(TESSEL_HAVE_MOSQUITTO ON)
  endif()
  set(tessel_mosquitto_where "Debian's libmosquitto-dev")
endif()

if(TESSEL_HAVE_MOSQUITTO)
  set(tessel_broker_client broker_client.cpp)
else()
  set(tessel_broker_client broker_absent.cpp)
endif()
message(STATUS "g1's broker options: ${tessel_broker_client} (MQTT client library: "
  "${tessel_mosquitto_where}, found: ${TESSEL_HAVE_MOSQUITTO})")
