tolvane_add_test(editor_tests
    SOURCES EditorWindowTests.cpp EditorIntakeTests.cpp FileDragButtonTests.cpp)

# Replaces the global allocation functions, so it keeps a program of its own.
tolvane_add_test(editor_memory_tests SOURCES LoadMemoryTests.cpp)

# Puts stand-ins for the file dialog and the browser on PATH, so it keeps a program of its own.
tolvane_add_test(editor_external_tests SOURCES ExternalProgramTests.cpp)

# The real window under a virtual X server; it needs Xvfb and the standalone app, so it is
# not among the unit tests that the sanitizer builds run.
if(TARGET TolvanePlugin_Standalone)
    add_test(NAME editor_window
        COMMAND bash ${PROJECT_SOURCE_DIR}/tools/window-test.sh
                $<TARGET_FILE:TolvanePlugin_Standalone> ${CMAKE_BINARY_DIR}/artefacts)
    set_tests_properties(editor_window PROPERTIES LABELS window TIMEOUT 180)
endif()

# What a host hears of the user's edits in the real window, on a virtual X server of its own. Not a
# unit test: the sanitizer builds leave it out.
add_executable(editor_settings_window_tests SettingsWindowTests.cpp)
tolvane_use_juce(editor_settings_window_tests)
target_include_directories(editor_settings_window_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(editor_settings_window_tests PRIVATE tolvane_engine tolvane_library tolvane_editor
    TolvanePlugin PkgConfig::TOLVANE_CODECS tolvane_test_support GTest::gtest GTest::gtest_main)
add_test(NAME editor_settings_window
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/library/flow-window.sh $<TARGET_FILE:editor_settings_window_tests>)
set_tests_properties(editor_settings_window PROPERTIES LABELS window TIMEOUT 120)
