# Files sealed by one Windows user, opened by another: two steps of tst_foreign_user, the
# second in a Wine prefix of its own under another user name (Wine's data protection keys
# on the user name; the first prefix is the tests' own).
add_executable(tst_foreign_user tst_foreign_user.cpp)
set_target_properties(tst_foreign_user PROPERTIES AUTOMOC ON)
target_link_libraries(tst_foreign_user
  PRIVATE kestrune_testsupport kestrune_core Qt6::Test kestrune_warnings)

set(exchange ${CMAKE_CURRENT_BINARY_DIR}/foreign-user)
set(otherPrefix ${KESTRUNE_WINE_PREFIX}-other-user)
kestrune_wine_prefix_fixture(wine_prefix_other_user ${otherPrefix} kestrune-other)
kestrune_test_command(tst_foreign_user_seal tst_foreign_user sealAsFirstUser)
kestrune_test_command(tst_foreign_user_open tst_foreign_user openAsAnotherUser)
set_tests_properties(tst_foreign_user_seal PROPERTIES
  FIXTURES_SETUP foreign_user
  FIXTURES_REQUIRED wine_prefix
  RUN_SERIAL TRUE
  ENVIRONMENT "${KESTRUNE_TEST_ENVIRONMENT};KESTRUNE_EXCHANGE=Z:${exchange}")
set(otherUser ${KESTRUNE_TEST_ENVIRONMENT})
list(FILTER otherUser EXCLUDE REGEX "^WINEPREFIX=")
set_tests_properties(tst_foreign_user_open PROPERTIES
  FIXTURES_REQUIRED "foreign_user;wine_prefix_other_user"
  RUN_SERIAL TRUE
  ENVIRONMENT "${otherUser};WINEPREFIX=${otherPrefix};USER=kestrune-other;LOGNAME=kestrune-other;KESTRUNE_EXCHANGE=Z:${exchange}")
