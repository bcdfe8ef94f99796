# Runs after the discovered tests are known: label the long ones so they can be picked apart.
foreach(test_name IN LISTS varnholt-tests_TESTS)
  if(test_name MATCHES "Slow")
    set_tests_properties("${test_name}" PROPERTIES LABELS slow)
  else()
    set_tests_properties("${test_name}" PROPERTIES LABELS quick)
  endif()
endforeach()
