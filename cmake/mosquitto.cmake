# The MQTT client library of g1's broker options, as the target tessel_mosquitto, and the one
# switch on it: tessel_broker_client names g1's source for the broker, the client on the library
# where it is found, else a stand-in whose options parse and whose starts say they are missing.
find_path(TESSEL_MOSQUITTO_INCLUDE_DIR mosquitto.h)
find_library(TESSEL_MOSQUITTO_LIBRARY mosquitto)
add_library(tessel_mosquitto INTERFACE)
if(TESSEL_MOSQUITTO_INCLUDE_DIR AND TESSEL_MOSQUITTO_LIBRARY)
  target_include_directories(tessel_mosquitto SYSTEM INTERFACE ${TESSEL_MOSQUITTO_INCLUDE_DIR})
  target_link_libraries(tessel_mosquitto INTERFACE ${TESSEL_MOSQUITTO_LIBRARY})
  set(tessel_broker_client broker_client.cpp)
else()
  set(tessel_broker_client broker_absent.cpp)
endif()
message(STATUS "g1's broker options: ${tessel_broker_client}")
