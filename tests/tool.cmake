# qelxml end to end: a test program that writes its inputs into a scratch
# directory and runs the real binary on them.
if(TARGET qelxml)
  add_executable(test_tool ${CMAKE_CURRENT_SOURCE_DIR}/tool/test_tool.cpp)
  target_link_libraries(test_tool PRIVATE GTest::gtest GTest::gtest_main)
  add_dependencies(test_tool qelxml)
  target_compile_definitions(test_tool PRIVATE QELXML_PATH="$<TARGET_FILE:qelxml>"
    QELXML_VERSION="${PROJECT_VERSION}" QELXML_SAMPLE="${PROJECT_SOURCE_DIR}/examples/data/sample-latin1.xml"
    QELXML_SCRATCH="${CMAKE_CURRENT_BINARY_DIR}/tool-scratch"
    QELXML_CONFORMANCE="${CMAKE_CURRENT_BINARY_DIR}/tool-xmlconf/xmlconf/xmlconf.xml")
  target_link_libraries(test_tool PRIVATE PkgConfig::XERCES)

  # The W3C conformance suite, unpacked into the build tree (its licence
  # allows only the unmodified archive to be passed on).
  set(QELXML_SUITE_ZIP ${PROJECT_SOURCE_DIR}/../shared/xmlconf/xmlts20130923.zip CACHE FILEPATH
    "The W3C XML conformance suite archive that the qelxml test formats")
  if(EXISTS ${QELXML_SUITE_ZIP})
    set(catalogue ${CMAKE_CURRENT_BINARY_DIR}/tool-xmlconf/xmlconf/xmlconf.xml)
    add_custom_command(OUTPUT ${catalogue}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/tool-xmlconf
      COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_CURRENT_BINARY_DIR}/tool-xmlconf ${CMAKE_COMMAND} -E tar xf ${QELXML_SUITE_ZIP}
      COMMAND ${CMAKE_COMMAND} -E touch ${catalogue}
      DEPENDS ${QELXML_SUITE_ZIP} COMMENT "Unpacking the XML conformance suite")
    add_custom_target(tool_xmlconf ALL DEPENDS ${catalogue})
    add_dependencies(test_tool tool_xmlconf)
  endif()
  # One variable per property: gtest_discover_tests splits a list value.
  gtest_discover_tests(test_tool DISCOVERY_TIMEOUT 60 PROPERTIES
    ENVIRONMENT "ASAN_OPTIONS=alloc_dealloc_mismatch=0:detect_leaks=1"
    ENVIRONMENT_MODIFICATION "LSAN_OPTIONS=set:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
endif()
