# The schema loader's tests: each case finds the model library through
# LD_LIBRARY_PATH, the stand-in (runtime/tavmdr), a copy of it built without
# the factory in a directory of its own, or none.
add_library(tavmdr_nofactory SHARED ${PROJECT_SOURCE_DIR}/runtime/tavmdr/tavmdr.cpp)
target_compile_definitions(tavmdr_nofactory PRIVATE TAVMDR_NO_FACTORY)
target_link_libraries(tavmdr_nofactory PRIVATE qeldom)
target_include_directories(tavmdr_nofactory PRIVATE $<TARGET_PROPERTY:tavmdr,INTERFACE_INCLUDE_DIRECTORIES>)
set_target_properties(tavmdr_nofactory PROPERTIES OUTPUT_NAME tavmdr
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/tavmdr-nofactory)

target_link_libraries(test_schema PRIVATE ${CMAKE_DL_LIBS})
target_include_directories(test_schema PRIVATE $<TARGET_PROPERTY:tavmdr,INTERFACE_INCLUDE_DIRECTORIES>)
target_compile_definitions(test_schema PRIVATE QELSCHEMA_MODEL_DIR="$<TARGET_FILE_DIR:tavmdr>"
  QELSCHEMA_NOFACTORY_DIR="$<TARGET_FILE_DIR:tavmdr_nofactory>")
add_dependencies(test_schema tavmdr tavmdr_nofactory)
