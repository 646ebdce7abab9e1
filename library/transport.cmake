# The framework's HTTPS transport on Linux (its curl reader, compiled inside juce_core) is built from a copy of
# the core module with two waits shortened; everything else of the module is the framework's own:
# - With no socket to wait on, the reader sleeps a fixed 100 ms, which every request meets once at its first
#   step, before anything is sent. curl asks for no wait there; the copy waits only as long as curl asks, at
#   most those 100 ms.
# - The wait for the sockets lasts up to 980 ms when curl has no timer of its own. A cancel from another thread
#   (the panel's destructor, a request's deadline) takes effect only when that wait ends, so the copy waits at
#   most 100 ms at a time and curl is asked again.
# Configuring stops when the framework's text is not the one this was written for.

get_target_property(tolvane_core_sources juce_core INTERFACE_SOURCES)
get_target_property(tolvane_core_base juce_core INTERFACE_JUCE_MODULE_PATH)
set(tolvane_core_original "${tolvane_core_base}/juce_core")
set(tolvane_core_copy "${CMAKE_BINARY_DIR}/framework/juce_core")
set(tolvane_curl_reader "native/juce_curl_Network.cpp")

file(READ "${tolvane_core_original}/${tolvane_curl_reader}" tolvane_reader_text)
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${tolvane_core_original}/${tolvane_curl_reader}")

function(tolvane_replace_once text_var before after)
    string(FIND "${${text_var}}" "${before}" first)
    string(FIND "${${text_var}}" "${before}" last REVERSE)
    if(first EQUAL -1 OR NOT first EQUAL last)
        message(FATAL_ERROR "The framework's curl reader (${tolvane_core_original}/${tolvane_curl_reader}) "
                            "is not the text library/transport.cmake shortens: \"${before}\" not found once")
    endif()
    string(REPLACE "${before}" "${after}" replaced "${${text_var}}")
    set(${text_var} "${replaced}" PARENT_SCOPE)
endfunction()

tolvane_replace_once(tolvane_reader_text
    "        // why 980? see http://curl.haxx.se/libcurl/c/curl_multi_timeout.html\n        if (curl_timeo < 0)\n            curl_timeo = 980;\n"
    "        // at most 100 ms, so that a cancel from another thread soon takes effect\n        if (curl_timeo < 0 || curl_timeo > 100)\n            curl_timeo = 100;\n")
tolvane_replace_once(tolvane_reader_text
    "            // if curl does not return any sockets for to wait on, then the doc says to wait 100 ms\n            Thread::sleep (100);\n"
    "            // as long as curl asks, at most 100 ms; a new transfer asks for no wait\n            if (curl_timeo > 0)\n                Thread::sleep ((int) curl_timeo);\n")

# Written only when it changes, so that a new configure does not rebuild the framework.
file(COPY "${tolvane_core_original}/" DESTINATION "${tolvane_core_copy}" PATTERN "juce_curl_Network.cpp" EXCLUDE)
set(tolvane_reader_copy "${tolvane_core_copy}/${tolvane_curl_reader}")
set(tolvane_reader_written "")
if(EXISTS "${tolvane_reader_copy}")
    file(READ "${tolvane_reader_copy}" tolvane_reader_written)
endif()
if(NOT tolvane_reader_written STREQUAL tolvane_reader_text)
    file(WRITE "${tolvane_reader_copy}" "${tolvane_reader_text}")
endif()

list(FIND tolvane_core_sources "${tolvane_core_original}/juce_core.cpp" tolvane_core_index)
if(tolvane_core_index EQUAL -1)
    message(FATAL_ERROR "juce_core does not compile ${tolvane_core_original}/juce_core.cpp")
endif()
list(REMOVE_AT tolvane_core_sources ${tolvane_core_index})
list(INSERT tolvane_core_sources ${tolvane_core_index} "${tolvane_core_copy}/juce_core.cpp")
set_property(TARGET juce_core PROPERTY INTERFACE_SOURCES "${tolvane_core_sources}")
