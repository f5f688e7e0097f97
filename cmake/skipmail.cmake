# Libraries and tests are formed from the folders, so adding a unit means
# adding its files and nothing else.

# The shared data files some tests compare against. Beside the clone by
# default; elsewhere with -DSKIPMAIL_DATA_DIR=... or that environment
# variable at configure time. Tests that need it skip when it is missing.
if(DEFINED ENV{SKIPMAIL_DATA_DIR} AND NOT DEFINED CACHE{SKIPMAIL_DATA_DIR})
  set(SKIPMAIL_DATA_DIR "$ENV{SKIPMAIL_DATA_DIR}" CACHE PATH "Shared test data")
else()
  set(SKIPMAIL_DATA_DIR "${PROJECT_SOURCE_DIR}/../shared/data" CACHE PATH "Shared test data")
endif()

# Where the tests keep what programs keep for a user (Qt's file-dialog
# history, caches): the user's home is left alone. The test programs' main
# points the XDG folders here; skip_tests_keep_home_out does it for the tests
# that run a script or another program.
set(SKIPMAIL_TEST_HOME "${PROJECT_BINARY_DIR}/test-home")

# skip_tests_keep_home_out(): the tests added so far in this folder get the
# XDG folders under SKIPMAIL_TEST_HOME, and Python writes no compiled
# modules (__pycache__) beside the test scripts in the checkout.
function(skip_tests_keep_home_out)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(t ${tests})
    set_property(TEST ${t} APPEND PROPERTY ENVIRONMENT
      XDG_CONFIG_HOME=${SKIPMAIL_TEST_HOME}/config XDG_CACHE_HOME=${SKIPMAIL_TEST_HOME}/cache
      XDG_DATA_HOME=${SKIPMAIL_TEST_HOME}/data XDG_STATE_HOME=${SKIPMAIL_TEST_HOME}/state
      PYTHONDONTWRITEBYTECODE=1)
  endforeach()
endfunction()

# skip_library(<subsystem> DEPS ...): every .cpp/.h under src/<subsystem>.
function(skip_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp ${PROJECT_SOURCE_DIR}/src/${name}/*.h)
  set(target skip_${name})
  list(FILTER srcs INCLUDE REGEX "\\.cpp$")
  if(srcs)
    file(GLOB_RECURSE hdrs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.h)
    add_library(${target} STATIC ${srcs} ${hdrs})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# skip_test_dir(<dir relative to tests/> <library>): one GoogleTest program of
# every *_test.cpp in that folder (not its subfolders). A folder may add its own
# targets (oracle scripts, labels) in an extra.cmake beside its tests; there it
# may set `load_tests` to a GoogleTest filter of the tests bound to real time
# (a real-time line, real processes with real timers): those carry the "load"
# label, which runs them two at a time with a second try.
function(skip_test_dir dir lib)
  file(GLOB srcs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${dir}/*_test.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${dir}/*_helpers.cpp)
  string(REPLACE "/" "_" exe "test_${dir}")
  set(load_tests "")
  if(srcs)
    add_executable(${exe} ${srcs} ${helpers})
    target_link_libraries(${exe} PRIVATE ${lib} skip_testsupport GTest::gtest GTest::gmock Qt6::Test)
    target_include_directories(${exe} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  endif()
  if(EXISTS ${PROJECT_SOURCE_DIR}/tests/${dir}/extra.cmake)
    include(${PROJECT_SOURCE_DIR}/tests/${dir}/extra.cmake)
  endif()
  if(srcs)
    if(load_tests)
      gtest_discover_tests(${exe} TEST_FILTER "-${load_tests}"
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DISCOVERY_TIMEOUT 60)
      gtest_discover_tests(${exe} TEST_FILTER "${load_tests}"
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DISCOVERY_TIMEOUT 60 PROPERTIES LABELS load)
    else()
      gtest_discover_tests(${exe}
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
        DISCOVERY_TIMEOUT 60)
    endif()
  endif()
endfunction()
