# The registered DUrazOdo.dll in the platform's own filter graph: rendered by merit to the
# platform's audio renderer, and compared through the Sample Grabber with bformat-decode's
# reference decodes in tests/data.
if(WIN32 AND TARGET DUrazOdo AND TARGET bformat_filters)
  # Registers the module in the build tree's Wine prefix, as a user would with regsvr32.
  add_test(NAME windows_register_DUrazOdo
    COMMAND ${CMAKE_BINARY_DIR}/wine-run regsvr32 /s "Z:$<TARGET_FILE:DUrazOdo>")
  set_tests_properties(windows_register_DUrazOdo PROPERTIES
    FIXTURES_SETUP DUrazOdoRegistered TIMEOUT 120 LABELS windows)

  add_executable(decoder_graph_tests decoder_graph_test.cpp)
  target_link_libraries(decoder_graph_tests PRIVATE bformat_filters ${PROJECT_GTEST_LIBS})
  target_include_directories(decoder_graph_tests PRIVATE ${PROJECT_SOURCE_DIR})
  # Wine sees the Linux file system as drive Z:.
  target_compile_definitions(decoder_graph_tests PRIVATE TEST_DATA_DIR="Z:${PROJECT_SOURCE_DIR}/tests/data")
  add_dependencies(decoder_graph_tests DUrazOdo)
  gtest_discover_tests(decoder_graph_tests
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED DUrazOdoRegistered LABELS windows)
endif()
