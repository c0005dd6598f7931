# The release side of the stand-in: manifest and ranged package downloads with faults.
add_library(zarvo_devservice_release STATIC release/release_server.cpp)
target_link_libraries(zarvo_devservice_release PUBLIC zarvo_devservice_lib)
target_link_libraries(zarvo-devservice PRIVATE zarvo_devservice_release)
