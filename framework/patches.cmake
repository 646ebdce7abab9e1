# The framework ships inside the plug-in, so its faults are ours. Each mend is one patch file in
# framework/patches/ (one fault a file, sorted by name, paths a/<module>/... relative to the folder
# of modules, the text before the diff saying why). Every module a patch touches is built from a copy
# in the build tree: made afresh from Debian's package whenever any file of the original or any patch
# changes, then patched. Configuring stops when a patch no longer applies. Every other module is the
# package's own.

find_program(TOLVANE_PATCH_PROGRAM patch REQUIRED)

get_target_property(tolvane_framework_base juce_core INTERFACE_JUCE_MODULE_PATH)
set(tolvane_framework_copy "${CMAKE_BINARY_DIR}/framework")
file(GLOB tolvane_framework_patches CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/framework/patches/*.patch")
list(SORT tolvane_framework_patches)

# Which modules each patch touches, from its "+++ b/<module>/..." lines.
set(tolvane_patched_modules "")
foreach(patch_file IN LISTS tolvane_framework_patches)
    file(STRINGS "${patch_file}" targets REGEX "^\\+\\+\\+ b/[A-Za-z0-9_]+/")
    if(NOT targets)
        message(FATAL_ERROR "${patch_file} changes no file under b/<module>/")
    endif()
    foreach(line IN LISTS targets)
        string(REGEX REPLACE "^\\+\\+\\+ b/([A-Za-z0-9_]+)/.*" "\\1" module "${line}")
        if(NOT EXISTS "${tolvane_framework_base}/${module}/${module}.h")
            message(FATAL_ERROR "${patch_file} changes ${module}, which is not a module in ${tolvane_framework_base}")
        endif()
        list(APPEND tolvane_patched_modules "${module}")
        list(APPEND tolvane_patches_of_${module} "${patch_file}")
    endforeach()
endforeach()
list(REMOVE_DUPLICATES tolvane_patched_modules)

foreach(module IN LISTS tolvane_patched_modules)
    list(REMOVE_DUPLICATES tolvane_patches_of_${module})
    set(original "${tolvane_framework_base}/${module}")
    set(copy "${tolvane_framework_copy}/${module}")
    set(staging "${tolvane_framework_copy}/.staging/${module}")

    # The copy is current while the original's files and the patches are the ones it was made from.
    file(GLOB_RECURSE original_files LIST_DIRECTORIES FALSE RELATIVE "${original}" "${original}/*")
    list(SORT original_files)
    set(fingerprint "")
    foreach(name IN LISTS original_files)
        file(SHA256 "${original}/${name}" hash)
        string(APPEND fingerprint "${name} ${hash}\n")
        set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${original}/${name}")
    endforeach()
    foreach(patch_file IN LISTS tolvane_patches_of_${module})
        file(SHA256 "${patch_file}" hash)
        string(APPEND fingerprint "patch ${patch_file} ${hash}\n")
    endforeach()
    string(SHA256 fingerprint "${fingerprint}")

    set(stamp "${tolvane_framework_copy}/${module}.stamp")
    set(previous "")
    if(EXISTS "${stamp}" AND EXISTS "${copy}")
        file(READ "${stamp}" previous)
    endif()

    if(NOT previous STREQUAL fingerprint)
        file(REMOVE_RECURSE "${staging}")
        file(MAKE_DIRECTORY "${tolvane_framework_copy}/.staging")
        file(COPY "${original}" DESTINATION "${tolvane_framework_copy}/.staging")
        foreach(patch_file IN LISTS tolvane_patches_of_${module})
            # Only this module's part of the patch is applied to this copy.
            execute_process(
                COMMAND "${TOLVANE_PATCH_PROGRAM}" -p1 --batch --forward --no-backup-if-mismatch
                        --reject-file=- -d "${tolvane_framework_copy}/.staging" -i "${patch_file}"
                RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
            if(failed)
                message(FATAL_ERROR "The framework patch ${patch_file} no longer applies to ${original} "
                                    "(the framework package changed?). Update or remove the patch.\n${out}")
            endif()
        endforeach()

        # Files that did not change keep their time stamps, so only what a patch or the package
        # changed is rebuilt.
        file(GLOB_RECURSE staged_files LIST_DIRECTORIES FALSE RELATIVE "${staging}" "${staging}/*")
        foreach(name IN LISTS staged_files)
            get_filename_component(dir "${copy}/${name}" DIRECTORY)
            file(MAKE_DIRECTORY "${dir}")
            file(COPY_FILE "${staging}/${name}" "${copy}/${name}" ONLY_IF_DIFFERENT)
        endforeach()
        file(GLOB_RECURSE copied_files LIST_DIRECTORIES FALSE RELATIVE "${copy}" "${copy}/*")
        foreach(name IN LISTS copied_files)
            if(NOT EXISTS "${staging}/${name}")
                file(REMOVE "${copy}/${name}")
            endif()
        endforeach()
        file(REMOVE_RECURSE "${staging}")
        file(WRITE "${stamp}" "${fingerprint}")
        message(STATUS "Framework module ${module} patched: ${tolvane_patches_of_${module}}")
    endif()

    # The module's compiled sources come from the copy (the plug-in client's per-format targets too).
    foreach(target IN ITEMS ${module} ${module}_LV2 ${module}_Standalone ${module}_utils)
        if(TARGET ${target})
            get_target_property(sources ${target} INTERFACE_SOURCES)
            if(sources)
                string(REPLACE "${original}/" "${copy}/" sources "${sources}")
                set_property(TARGET ${target} PROPERTY INTERFACE_SOURCES "${sources}")
            endif()
        endif()
    endforeach()
endforeach()

# Headers of a patched module are found in the copy first; every other module in the package.
if(tolvane_patched_modules)
    include_directories(BEFORE "${tolvane_framework_copy}")
endif()
