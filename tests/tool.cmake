# qelxml end to end: a test program that writes its inputs into a scratch
# directory and runs the real binary on them.
if(TARGET qelxml)
  add_executable(test_tool ${CMAKE_CURRENT_SOURCE_DIR}/tool/test_tool.cpp)
  target_link_libraries(test_tool PRIVATE GTest::gtest GTest::gtest_main)
  add_dependencies(test_tool qelxml)
  target_compile_definitions(test_tool PRIVATE QELXML_PATH="$<TARGET_FILE:qelxml>"
    QELXML_VERSION="${PROJECT_VERSION}" QELXML_SAMPLE="${PROJECT_SOURCE_DIR}/examples/data/sample-latin1.xml"
    QELXML_SCRATCH="${CMAKE_CURRENT_BINARY_DIR}/tool-scratch")
  gtest_discover_tests(test_tool DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT
    "ASAN_OPTIONS=alloc_dealloc_mismatch=0:detect_leaks=1;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
endif()
