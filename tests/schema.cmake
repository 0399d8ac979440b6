# The schema loader's tests: the model library stand-in (runtime/tavmdr), a
# copy of it without its factory in a directory of its own, and the test
# program built three times: with the model library on its run path, without
# it, and with the copy that lacks the factory. The dynamic loader finds the
# library through the program's DT_RPATH, which (unlike DT_RUNPATH) also
# serves the dlopen calls of the libraries the program loads.
set(QELSCHEMA_NOFACTORY_DIR ${CMAKE_CURRENT_BINARY_DIR}/tavmdr-nofactory)
add_library(tavmdr_nofactory SHARED ${PROJECT_SOURCE_DIR}/runtime/tavmdr/tavmdr.cpp)
target_compile_definitions(tavmdr_nofactory PRIVATE TAVMDR_NO_FACTORY)
target_link_libraries(tavmdr_nofactory PRIVATE qeldom)
target_include_directories(tavmdr_nofactory PRIVATE $<TARGET_PROPERTY:tavmdr,INTERFACE_INCLUDE_DIRECTORIES>)
set_target_properties(tavmdr_nofactory PROPERTIES OUTPUT_NAME tavmdr LIBRARY_OUTPUT_DIRECTORY ${QELSCHEMA_NOFACTORY_DIR})

function(qelschema_test_program name model dir)
  if(NOT TARGET ${name})
    add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/test_schema.cpp)
    target_link_libraries(${name} PRIVATE qeldom GTest::gtest GTest::gtest_main Threads::Threads)
    # One variable per property: gtest_discover_tests splits a list value.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES
    ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1"
    ENVIRONMENT_MODIFICATION "LSAN_OPTIONS=set:suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp:print_suppressions=0")
  endif()
  target_include_directories(${name} PRIVATE $<TARGET_PROPERTY:tavmdr,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(${name} PRIVATE ${CMAKE_DL_LIBS})
  target_compile_definitions(${name} PRIVATE QELSCHEMA_MODEL=${model} QELSCHEMA_MODEL_DIR="$<TARGET_FILE_DIR:tavmdr>")
  add_dependencies(${name} tavmdr tavmdr_nofactory)
  if(dir)
    set_property(TARGET ${name} APPEND PROPERTY BUILD_RPATH ${dir})
    target_link_options(${name} PRIVATE -Wl,--disable-new-dtags)
  endif()
endfunction()

qelschema_test_program(test_schema 1 ${CMAKE_BINARY_DIR}/runtime/tavmdr)
qelschema_test_program(test_schema_noload 0 "")
qelschema_test_program(test_schema_nofactory 2 ${QELSCHEMA_NOFACTORY_DIR})
