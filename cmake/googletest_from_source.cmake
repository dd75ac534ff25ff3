# Builds googletest from Debian's source package (libgtest-dev or googletest
# ships it in /usr/src/googletest) for a cross build, where the host's
# prebuilt libraries cannot be linked. Defines GTest::gtest and
# GTest::gtest_main as find_package(GTest) does.
set(SERIALTAP_GTEST_SOURCE_DIR /usr/src/googletest/googletest
    CACHE PATH "googletest source directory (the one holding src/gtest-all.cc)")

if(NOT EXISTS ${SERIALTAP_GTEST_SOURCE_DIR}/src/gtest-all.cc)
  message(FATAL_ERROR
    "googletest sources not found in ${SERIALTAP_GTEST_SOURCE_DIR}; "
    "install Debian's googletest package or set SERIALTAP_GTEST_SOURCE_DIR")
endif()

if(NOT TARGET serialtap_gtest)
  add_library(serialtap_gtest STATIC ${SERIALTAP_GTEST_SOURCE_DIR}/src/gtest-all.cc)
  target_include_directories(serialtap_gtest SYSTEM PUBLIC ${SERIALTAP_GTEST_SOURCE_DIR}/include)
  target_include_directories(serialtap_gtest PRIVATE ${SERIALTAP_GTEST_SOURCE_DIR})

  add_library(serialtap_gtest_main STATIC ${SERIALTAP_GTEST_SOURCE_DIR}/src/gtest_main.cc)
  target_link_libraries(serialtap_gtest_main PUBLIC serialtap_gtest)

  add_library(GTest::gtest ALIAS serialtap_gtest)
  add_library(GTest::gtest_main ALIAS serialtap_gtest_main)
endif()
