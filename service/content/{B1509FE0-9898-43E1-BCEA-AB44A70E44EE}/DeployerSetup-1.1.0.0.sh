#!/bin/sh
# Demo setup of the Corvane Software Installer 1.1.0.0.
echo "Corvane Software Installer 1.1.0.0 setup (demo): nothing to install."
