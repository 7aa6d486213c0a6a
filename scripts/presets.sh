#!/usr/bin/env bash
# The configurations that ./run build and ./run test build and test, in order, one per line.
printf '%s\n' native native-asan native-tsan win64 win32
