# Sourced by the scripts that use the plug-in DLL: its file name, written only here. CMake reads
# the same line and names the DLL's target after it, so the build and the scripts cannot differ.
# shellcheck shell=bash disable=SC2034  # used by the scripts that source this file
tessel_plugin_dll=corvane_tessel_external_dll_sample.dll
