# Warning flags applied to every target of this project.
add_library(korvanrt_warnings INTERFACE)
target_compile_options(korvanrt_warnings INTERFACE -Wall -Wextra)
