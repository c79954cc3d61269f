# Windows-only parts of the test suite (included by tests/CMakeLists.txt).
# The tests run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
kzr_record_delay_imports(kzr_tests)
# GetFileVersionInfoW reads the module's version resource back.
target_link_libraries(kzr_tests PRIVATE version)
target_compile_definitions(kzr_tests PRIVATE KZR_TBB_DLL="${KZR_TBB_DLL}")
add_dependencies(kzr_tests kzr_tbb ${KZR_LANGUAGE_LIBRARIES})

# Exports, imports and delay imports of the DLL, from its PE headers.
add_test(NAME module_pe_exports_and_imports
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/win/check_pe.sh ${CMAKE_OBJDUMP}
          $<TARGET_FILE:KZR_PlugIn_6> ${KZR_TBB_DLL})

# The language library follows the user's locale, which Wine takes from
# LC_ALL; the tests check that the locale arrived as KZR_TEST_LANGUAGE says.
foreach(case IN ITEMS de_DE.UTF-8:DEU en_US.UTF-8:ENU)
  string(REPLACE ":" ";" case ${case})
  list(GET case 0 locale)
  list(GET case 1 language)
  add_test(NAME user_locale_${language} COMMAND kzr_tests --gtest_filter=*UserLanguage*)
  set_tests_properties(user_locale_${language} PROPERTIES
    ENVIRONMENT "LC_ALL=${locale};KZR_TEST_LANGUAGE=${language}")
endforeach()
