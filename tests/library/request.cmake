# Web request layer tests. Every discovered case runs in its own harness (network and mount namespace with
# its own stand-in service), so the slow time-out cases run side by side. Label "unit" only: a second
# label would break the property list that tolvane_add_test hands to gtest_discover_tests.
set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/tools/harness/run.sh;--site-host;${TOLVANE_SITE_HOST};--")
tolvane_add_test(request_layer_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/RequestLayerTests.cpp
        ${CMAKE_CURRENT_LIST_DIR}/StandIn.cpp
    PROPERTIES TIMEOUT 300)
unset(CMAKE_CROSSCOMPILING_EMULATOR)
