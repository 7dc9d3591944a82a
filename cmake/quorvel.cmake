# quorvel_library(name SOURCES ... DEPS ...): a static library of one layer.
# Includes are spelled from the repository root ("link/crc.h"); the layering test
# (check_layers.cmake) keeps lower layers from reaching up.
function(quorvel_library name)
  cmake_parse_arguments(Q "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${Q_SOURCES})
  target_include_directories(${name} PUBLIC ${QUORVEL_ROOT})
  if(Q_DEPS)
    target_link_libraries(${name} PUBLIC ${Q_DEPS})
  endif()
endfunction()

# quorvel_test(name SOURCES ... DEPS ...): a GoogleTest binary registered with ctest.
function(quorvel_test name)
  if(NOT QUORVEL_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(Q "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${Q_SOURCES})
  target_link_libraries(${name} PRIVATE ${Q_DEPS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${QUORVEL_ROOT})
  if(NOT CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS "${Q_LABELS}")
  elseif(WIN32)
    # scripts/test-windows.sh runs every test program listed here under Wine.
    file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/windows-tests/${name}.txt
         CONTENT "$<TARGET_FILE:${name}>\n")
  endif()
endfunction()
