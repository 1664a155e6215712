// Replaced as the module is built.
