# Third-party code comes from Debian's packages, never from this repository.

# TinyXML 2.6.2, Debian's source package with its patches applied.
# Found before the project began (cmake/ConfigureGate.cmake).
file(GLOB _tinyxml_sources "${ZANSETUP_DEPS_DIR}/tinyxml-2.6.2*/tinyxml.cpp")
list(GET _tinyxml_sources 0 _tinyxml_source)
get_filename_component(ZANSETUP_TINYXML_DIR ${_tinyxml_source} DIRECTORY)
add_library(tinyxml STATIC
  ${ZANSETUP_TINYXML_DIR}/tinyxml.cpp
  ${ZANSETUP_TINYXML_DIR}/tinyxmlerror.cpp
  ${ZANSETUP_TINYXML_DIR}/tinyxmlparser.cpp
  ${ZANSETUP_TINYXML_DIR}/tinystr.cpp)
target_include_directories(tinyxml SYSTEM PUBLIC ${ZANSETUP_TINYXML_DIR})
target_compile_options(tinyxml PRIVATE -w)

# Boost headers: mingw sees a folder that holds nothing but "boost", so no other
# host header can be picked up by accident.
set(ZANSETUP_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${ZANSETUP_BOOST_INCLUDE})
file(CREATE_LINK /usr/include/boost ${ZANSETUP_BOOST_INCLUDE}/boost SYMBOLIC)
add_library(boost_headers INTERFACE)
target_include_directories(boost_headers SYSTEM INTERFACE ${ZANSETUP_BOOST_INCLUDE})
