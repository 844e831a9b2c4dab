# wuqu_add_library(<name> SOURCES ... [DEPS ...])
#   One static library per folder of src/; its public headers live beside the
#   sources and are included as "<folder>/<header>.h".
function(wuqu_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(wuqu_${name} STATIC ${ARG_SOURCES})
  add_library(wuqu::${name} ALIAS wuqu_${name})
  target_include_directories(wuqu_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(wuqu_${name} PUBLIC ${ARG_DEPS})
endfunction()

# wuqu_add_gtest(<name> SOURCES ... [DEPS ...] [GUI] [NO_MAIN] [TIMEOUT s])
#   A GoogleTest executable whose cases are registered with CTest one by one.
#   GUI tests run on Qt's offscreen platform.
function(wuqu_add_gtest name)
  cmake_parse_arguments(ARG "GUI;NO_MAIN" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock)
  if(NOT ARG_NO_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  # What the program remembers goes to a data folder of the tests' own,
  # never to the home of whoever runs them.
  set(env "WUQU_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "XDG_DATA_HOME=${PROJECT_BINARY_DIR}/test-data-home")
  if(ARG_GUI)
    list(APPEND env "QT_QPA_PLATFORM=offscreen")
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
