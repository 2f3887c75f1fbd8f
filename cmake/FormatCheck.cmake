# Run with cmake -P: VK_SOURCE_DIR is the checkout, VK_CLANG_FORMAT the
# clang-format program (empty when none was found). Fails, naming each
# file, when a C++ source of src/, tools/, tests/ or bench/ differs from
# what clang-format makes of it with the repo's .clang-format.
cmake_minimum_required(VERSION 3.18)

if(NOT VK_CLANG_FORMAT OR NOT EXISTS "${VK_CLANG_FORMAT}")
    message("FormatCheck skipped: clang-format is not installed (package clang-format)")
    return()
endif()

set(files "")
foreach(dir src tools tests bench)
    file(GLOB_RECURSE found ${VK_SOURCE_DIR}/${dir}/*.cpp ${VK_SOURCE_DIR}/${dir}/*.h
         ${VK_SOURCE_DIR}/${dir}/*.c)
    list(APPEND files ${found})
endforeach()
list(SORT files)

execute_process(COMMAND ${VK_CLANG_FORMAT} --dry-run --Werror ${files}
                WORKING_DIRECTORY ${VK_SOURCE_DIR}
                RESULT_VARIABLE rc ERROR_VARIABLE out OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0)
    string(REGEX MATCHALL "[^\n]*: error: code should be clang-formatted" lines "${out}")
    set(bad "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE ":[0-9]+:[0-9]+: error: .*" "" path "${line}")
        file(RELATIVE_PATH rel ${VK_SOURCE_DIR} ${path})
        list(APPEND bad ${rel})
    endforeach()
    list(REMOVE_DUPLICATES bad)
    list(JOIN bad "\n  " listed)
    message(FATAL_ERROR "Not formatted (clang-format -i FILE fixes it):\n  ${listed}")
endif()
message("FormatCheck: every file is formatted")
