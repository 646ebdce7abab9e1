# Web request layer tests. Every discovered case runs in its own harness (network and mount namespace with
# its own stand-in service), so the slow time-out cases run side by side. Also run under ThreadSanitizer:
# cancels and deadlines end transfers from other threads.
set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/tools/harness/run.sh;--site-host;${TOLVANE_SITE_HOST};--")
tolvane_add_test(request_layer_tests CONCURRENCY
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/RequestLayerTests.cpp
        ${CMAKE_CURRENT_LIST_DIR}/StandIn.cpp
    PROPERTIES TIMEOUT 300)
unset(CMAKE_CROSSCOMPILING_EMULATOR)
