# Common warning set; ZEVO_WERROR turns them into errors (on in every preset).
function(zevo_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wcast-align -Wformat=2)
  if(ZEVO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(ZEVO_SANITIZE)
  string(REPLACE ";" "," _zevo_san "${ZEVO_SANITIZE}")
  add_compile_options(-fsanitize=${_zevo_san} -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=${_zevo_san})
endif()
