#!/bin/sh
# Sample install script: leaves a mark that it ran.
echo "Installing sample application @VERSION@"
echo "@VERSION@" > /tmp/home/installed
