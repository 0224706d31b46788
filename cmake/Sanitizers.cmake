if(QUORVEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QUORVEL_SANITIZE STREQUAL "thread")
  # GCC warns that TSan does not model standalone fences (Asio uses them); not an error of ours.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
elseif(QUORVEL_SANITIZE STREQUAL "fuzzer")
  # libFuzzer's coverage in every object, with ASan and UBSan; only the fuzz targets
  # link its main (-fsanitize=fuzzer). -O1 keeps the executions per second high.
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUORVEL_SANITIZE=fuzzer needs clang (the preset \"fuzz\" sets it)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=address,undefined)
  # Boost's assertions go to fuzz/boost_assert.cpp, linked into every fuzz target.
  add_compile_definitions(BOOST_ENABLE_ASSERT_HANDLER)
elseif(QUORVEL_SANITIZE)
  message(FATAL_ERROR "QUORVEL_SANITIZE must be address, thread, fuzzer or empty")
endif()
