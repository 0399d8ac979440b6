# The stress test loads the model library stand-in (runtime/tavmdr) through
# its run path.
target_include_directories(test_stress PRIVATE $<TARGET_PROPERTY:tavmdr,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(test_stress PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(test_stress tavmdr)
set_property(TARGET test_stress APPEND PROPERTY BUILD_RPATH $<TARGET_FILE_DIR:tavmdr>)
target_link_options(test_stress PRIVATE -Wl,--disable-new-dtags)
