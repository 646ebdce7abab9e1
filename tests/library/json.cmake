# Replies whose JSON nests too deep, holds too much or values of the wrong type: the reading rules on their
# own, then the same replies from the stand-in service over HTTPS, each case in its own harness. The service
# cases also run under ThreadSanitizer: one closes the panel while its request thread finishes a reply.
tolvane_add_test(reply_json_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/ReplyJsonTests.cpp)

set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/tools/harness/run.sh;--site-host;${TOLVANE_SITE_HOST};--")
tolvane_add_test(reply_json_service_tests
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/ReplyJsonServiceTests.cpp
        ${CMAKE_CURRENT_LIST_DIR}/FlowSupport.cpp
        ${CMAKE_CURRENT_LIST_DIR}/StandIn.cpp
    LABELS network
    CONCURRENCY
    PROPERTIES TIMEOUT 300)
target_compile_definitions(reply_json_service_tests PRIVATE TOLVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
unset(CMAKE_CROSSCOMPILING_EMULATOR)
