# qelxml end to end: a test program that writes its inputs into a scratch
# directory and runs the real binary on them.
if(TARGET qelxml)
  add_executable(test_tool ${CMAKE_CURRENT_SOURCE_DIR}/tool/test_tool.cpp)
  # The library for the shared test helpers (the loopback server); the tool
  # itself is run as a program.
  target_link_libraries(test_tool PRIVATE qeldom PkgConfig::XERCES GTest::gtest GTest::gtest_main)
  target_include_directories(test_tool PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  add_dependencies(test_tool qelxml)
  target_compile_definitions(test_tool PRIVATE QELXML_PATH="$<TARGET_FILE:qelxml>"
    QELXML_VERSION="${PROJECT_VERSION}" QELXML_SAMPLE="${PROJECT_SOURCE_DIR}/examples/data/sample-latin1.xml"
    QELXML_SCRATCH="${CMAKE_CURRENT_BINARY_DIR}/tool-scratch"
    QELXML_CONFORMANCE="${CMAKE_BINARY_DIR}/xmlconf/xmlconf.xml")

  # The conformance suite, unpacked into the build tree by conformance.cmake.
  if(TARGET xmlconf_unpack)
    add_dependencies(test_tool xmlconf_unpack)
  endif()
  # One variable per property: gtest_discover_tests splits a list value.
  gtest_discover_tests(test_tool DISCOVERY_TIMEOUT 60 PROPERTIES
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1"
    ENVIRONMENT_MODIFICATION "LSAN_OPTIONS=set:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
endif()
