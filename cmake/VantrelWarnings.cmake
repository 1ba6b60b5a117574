# Every target of ours gets the same warnings; CI turns them into errors.
function(vantrel_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(VANTREL_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

if(VANTREL_SANITIZE)
    # Lets a test skip what the sanitizers make meaningless (peak memory, with their shadow memory).
    add_compile_definitions(VANTREL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
