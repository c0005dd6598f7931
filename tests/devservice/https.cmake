zarvo_test(devservice_https_tests
  SOURCES https_front_test.cpp https_route_test.cpp
  LIBS zarvo_devservice_lib zarvo_service)
