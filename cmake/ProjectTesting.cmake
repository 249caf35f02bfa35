# Test helpers shared by every tests/ folder.
#
#   add_project_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                    [PROPERTIES <test properties...>])
#
# builds a GoogleTest program and registers each of its tests with CTest, with a timeout, the
# labels and any further test properties. Tests labelled "concurrency" also run in the
# ThreadSanitizer build. In the cross builds the program runs under an emulator (Wine for
# Windows, qemu-user for arm64) through CMAKE_CROSSCOMPILING_EMULATOR, and the test list is
# read through the emulator when the tests run.
include_guard(GLOBAL)

if(NOT DURAZODO_BUILD_TESTS)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  # Debian ships GoogleTest as source; cross-build it with the project's compiler.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(PROJECT_GTEST_LIBS gtest gmock gtest_main)
else()
  find_package(GTest REQUIRED)
  set(PROJECT_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()
include(GoogleTest)

# Put before a path of this machine to name it to a test program: Wine shows the Linux file
# system as drive Z:.
if(WIN32)
  set(TEST_PATH_PREFIX "Z:")
else()
  set(TEST_PATH_PREFIX "")
endif()

function(add_project_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${PROJECT_GTEST_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT 300 LABELS "${T_LABELS}" ${T_PROPERTIES})
endfunction()
