// Replaced as the test services are built.
