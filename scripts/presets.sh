# Sourced by ./run and scripts/test.sh: the configurations that a full build and a full test run
# cover, in the order they are built and run.
presets=(native native-asan native-tsan win64 win32)
