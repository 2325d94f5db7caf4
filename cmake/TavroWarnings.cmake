add_compile_options(-Wall -Wextra)
if(TAVROVPN_WERROR)
  add_compile_options(-Werror)
endif()
# GCC 12 reports false -Wrestrict hits inside libstdc++ for `"text" + std::string` when optimizing
# (GCC bug 105329); the check is off there so Release builds stay warning-clean.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()
if(TAVROVPN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
