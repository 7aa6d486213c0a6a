# The MQTT client library behind g1's broker options, as the target tessel_mosquitto; sets
# TESSEL_HAVE_MOSQUITTO to whether this build has it.
set(TESSEL_HAVE_MOSQUITTO OFF)

if(MINGW)
  # The static library that ./run setup builds from the source of the installed libmosquitto-dev
  # (scripts/mosquitto-mingw.sh, which names the folder). 64-bit only: g1 has no 32-bit build.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    execute_process(COMMAND ${CMAKE_SOURCE_DIR}/scripts/mosquitto-mingw.sh --dir
      OUTPUT_VARIABLE tessel_mosquitto_default_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(TESSEL_MOSQUITTO_MINGW_DIR "${tessel_mosquitto_default_dir}" CACHE PATH
    "Folder with include/mosquitto.h and lib/libmosquitto_static.a built for this MinGW target")
  set(tessel_mosquitto_dir "${TESSEL_MOSQUITTO_MINGW_DIR}")
  if(tessel_mosquitto_dir AND EXISTS "${tessel_mosquitto_dir}/include/mosquitto.h"
     AND EXISTS "${tessel_mosquitto_dir}/lib/libmosquitto_static.a")
    find_package(Threads REQUIRED)
    add_library(tessel_mosquitto STATIC IMPORTED)
    set_target_properties(tessel_mosquitto PROPERTIES
      IMPORTED_LOCATION "${tessel_mosquitto_dir}/lib/libmosquitto_static.a"
      INTERFACE_INCLUDE_DIRECTORIES "${tessel_mosquitto_dir}/include"
      # Without it the header declares every function as imported from a DLL.
      INTERFACE_COMPILE_DEFINITIONS LIBMOSQUITTO_STATIC
      # Its network loop thread is a winpthreads thread.
      INTERFACE_LINK_LIBRARIES "ws2_32;Threads::Threads")
    if(TESSEL_REPRODUCIBLE)
      # The folder is below the user's home: kept out of the debug information.
      set_property(TARGET tessel_mosquitto PROPERTY INTERFACE_COMPILE_OPTIONS
        "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${tessel_mosquitto_dir}=mosquitto>")
    endif()
    set(TESSEL_HAVE_MOSQUITTO ON)
    message(STATUS "MQTT client library: ${tessel_mosquitto_dir} (static, no TLS)")
  else()
    message(STATUS "MQTT client library: none for MinGW in '${tessel_mosquitto_dir}' (./run setup builds it); "
      "g1's broker options are left out")
  endif()
  unset(tessel_mosquitto_dir)
else()
  find_path(TESSEL_MOSQUITTO_INCLUDE_DIR mosquitto.h)
  find_library(TESSEL_MOSQUITTO_LIBRARY mosquitto)
  if(TESSEL_MOSQUITTO_INCLUDE_DIR AND TESSEL_MOSQUITTO_LIBRARY)
    add_library(tessel_mosquitto UNKNOWN IMPORTED)
    set_target_properties(tessel_mosquitto PROPERTIES
      IMPORTED_LOCATION "${TESSEL_MOSQUITTO_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${TESSEL_MOSQUITTO_INCLUDE_DIR}")
    set(TESSEL_HAVE_MOSQUITTO ON)
  else()
    message(STATUS "MQTT client library: libmosquitto-dev not found; g1's broker options are left out")
  endif()
endif()
