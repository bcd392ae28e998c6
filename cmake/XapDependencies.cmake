# Dependencies, the same way for native and cross builds.
#
# Boost (lexical_cast) and the JSON library are header-only: their headers
# are looked up in the build machine's include folder, never limited to the
# target root, and no compiled library of theirs is linked.
find_path(XAP_BOOST_INCLUDE_DIR boost/lexical_cast.hpp
  PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(XAP_JSON_INCLUDE_DIR nlohmann/json.hpp
  PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(xap_boost_headers INTERFACE)
target_include_directories(xap_boost_headers SYSTEM INTERFACE ${XAP_BOOST_INCLUDE_DIR})
add_library(xap_json_headers INTERFACE)
target_include_directories(xap_json_headers SYSTEM INTERFACE ${XAP_JSON_INCLUDE_DIR})

find_package(Threads REQUIRED)

# GoogleTest: the build machine's libraries for native builds; built from
# Debian's sources for a cross target.
if(XAP_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    # Defines GTest::gtest and GTest::gtest_main itself.
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  else()
    find_package(GTest REQUIRED)
  endif()
endif()
