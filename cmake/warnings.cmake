# Warnings are errors on every compiler and target of the project.
function(tessel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wsign-conversion -Werror)
endfunction()
