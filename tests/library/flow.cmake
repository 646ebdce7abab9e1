# Sign-in, catalog and download tests. The service-free ones run anywhere; the others run each case in
# its own harness (network and mount namespace with its own stand-in service), so cases run side by side.
set(flow_support
    ${CMAKE_CURRENT_LIST_DIR}/FlowSupport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/StandIn.cpp)

tolvane_add_test(flow_logic_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/FlowLogicTests.cpp
        ${flow_support})
target_compile_definitions(flow_logic_tests PRIVATE TOLVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/tools/harness/run.sh;--site-host;${TOLVANE_SITE_HOST};--")
tolvane_add_test(flow_tests CONCURRENCY
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/FlowSignInTests.cpp
        ${CMAKE_CURRENT_LIST_DIR}/FlowCatalogTests.cpp
        ${CMAKE_CURRENT_LIST_DIR}/FlowDownloadTests.cpp
        ${flow_support}
    LABELS network
    PROPERTIES TIMEOUT 300)
target_compile_definitions(flow_tests PRIVATE TOLVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
unset(CMAKE_CROSSCOMPILING_EMULATOR)

# The whole road in the real window under a virtual X server, inside the harness. Not a unit test:
# the sanitizer builds leave it out.
find_package(X11 REQUIRED)
add_executable(flow_window_tests
    ${CMAKE_CURRENT_LIST_DIR}/FlowWindowTests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ScreenGrab.cpp
    ${flow_support})
tolvane_use_juce(flow_window_tests)
target_include_directories(flow_window_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(flow_window_tests PRIVATE tolvane_engine tolvane_library tolvane_editor TolvanePlugin
    PkgConfig::TOLVANE_CODECS tolvane_test_support GTest::gtest GTest::gtest_main X11::X11)
target_compile_definitions(flow_window_tests PRIVATE TOLVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME flow_window
    COMMAND ${PROJECT_SOURCE_DIR}/tools/harness/run.sh --site-host ${TOLVANE_SITE_HOST}
            -- bash ${CMAKE_CURRENT_LIST_DIR}/flow-window.sh $<TARGET_FILE:flow_window_tests>)
set_tests_properties(flow_window PROPERTIES LABELS window TIMEOUT 180)
