# Warnings are errors on our own code; third-party headers come in as system headers.
add_library(quorvel_warnings INTERFACE)
target_compile_options(quorvel_warnings INTERFACE -Wall -Wextra -Werror)
