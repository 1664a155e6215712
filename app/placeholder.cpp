// Replaced as the subsystem is built.
