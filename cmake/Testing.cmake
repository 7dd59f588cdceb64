# ormidal_add_tests(<dir> LIBS <libs...> [SOURCES <extra...>] [LABEL <label>] [SERIAL]): one
# GoogleTest executable per <dir>/*_test.cpp, each test case registered with CTest so they run
# in parallel and fail one by one. SERIAL keeps the cases of one program from running at the
# same time (they share a file, such as the program's settings file beside the executable).
function(ormidal_add_tests dir)
  cmake_parse_arguments(ARG "SERIAL" "LABEL" "LIBS;SOURCES" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL core)
  endif()
  file(GLOB test_sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(src ${test_sources})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
    target_include_directories(${name} PRIVATE ${dir} ${PROJECT_SOURCE_DIR}/testing)
    ormidal_warnings(${name})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    set(lock "")
    if(ARG_SERIAL)
      set(lock RESOURCE_LOCK ${name})
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300 LABELS ${ARG_LABEL} ${lock})
  endforeach()
endfunction()
