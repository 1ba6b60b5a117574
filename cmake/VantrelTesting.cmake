find_package(Qt6 REQUIRED COMPONENTS Test)

# vantrel_add_qtest(NAME <name> SOURCES <files...> LIBRARIES <libs...> [LABELS <labels...>] [TIMEOUT <s>])
# One QtTest executable registered with CTest, run on the offscreen platform.
function(vantrel_add_qtest)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBRARIES;LABELS;ENVIRONMENT" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    set_target_properties(${T_NAME} PROPERTIES AUTOMOC ON)
    target_link_libraries(${T_NAME} PRIVATE Qt6::Test ${T_LIBRARIES})
    vantrel_target_defaults(${T_NAME})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(NOT T_LABELS)
        set(T_LABELS unit)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;VANTREL_STANDIN=$<TARGET_FILE:as2-standin>;VANTREL_CONFIG_EXE=$<TARGET_FILE:vantrel-config>;${T_ENVIRONMENT}")
endfunction()
