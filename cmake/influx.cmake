# The HTTP client library of `g1 publish --influx`, as the target tessel_curl (empty where there is
# none), and tessel_influx_http naming g1's source for the writer's HTTP: libcurl and zlib where
# they are found (Debian's libcurl4-openssl-dev; Debian has none for MinGW), else a stand-in
# whose opening says the option is in the Linux build.
add_library(tessel_curl INTERFACE)
set(TESSEL_HAVE_CURL OFF)
if(NOT MINGW)
  find_package(CURL QUIET)
  find_package(ZLIB QUIET)
  if(CURL_FOUND AND ZLIB_FOUND)
    target_link_libraries(tessel_curl INTERFACE CURL::libcurl ZLIB::ZLIB)
    set(TESSEL_HAVE_CURL ON)
  endif()
endif()

if(TESSEL_HAVE_CURL)
  set(tessel_influx_http influx_http_curl.cpp)
else()
  set(tessel_influx_http influx_absent.cpp)
endif()
message(STATUS "g1's InfluxDB writer: ${tessel_influx_http} (libcurl found: ${TESSEL_HAVE_CURL})")
