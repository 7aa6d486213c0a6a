# The release version, written once in the VERSION file at the top of the tree: a header for the
# programs' --version and a VERSIONINFO resource for every Windows binary a user gets.
file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION TESSEL_VERSION LIMIT_COUNT 1)
if(NOT TESSEL_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must read MAJOR.MINOR.PATCH, not '${TESSEL_VERSION}'")
endif()
# Windows wants four numbers; the fourth stays 0.
set(TESSEL_VERSION_COMMAS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")
set(TESSEL_PRODUCT_NAME "Corvane Tessel external plug-in sample")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/VERSION)

set(version_include ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tessel_version.h.in ${version_include}/tessel_version.h
  @ONLY)
add_library(tessel_version INTERFACE)
target_include_directories(tessel_version INTERFACE ${version_include})

if(WIN32)
  enable_language(RC)
endif()

# Gives a Windows binary its version resource (Properties > Details): the file's name as built,
# what it is, and the one version. Does nothing elsewhere.
function(tessel_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(file_name ${name}${CMAKE_SHARED_LIBRARY_SUFFIX})
    set(file_type VFT_DLL)
  else()
    set(file_name ${name}${CMAKE_EXECUTABLE_SUFFIX})
    set(file_type VFT_APP)
  endif()
  set(file_description "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version_info.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
