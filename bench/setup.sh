#!/usr/bin/env bash
# Installs the benchmark's peers (bench/requirements.txt) into the virtual environment. All at
# once when that works; otherwise one at a time, leaving out those that cannot be installed
# here: the benchmark then reports them as unavailable.
set -uo pipefail
cd "$(dirname "$0")/.."
python=${1:-.venv/bin/python}

# Open3D's wheel links libusb-1.0, which Debian ships on its own.
if ! /sbin/ldconfig -p 2> /dev/null | grep 'libusb-1\.0\.so\.0' > /dev/null; then
  if command -v apt-get > /dev/null; then
    echo "installing libusb-1.0-0 for Open3D"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libusb-1.0-0; } \
      || echo "could not install libusb-1.0-0: Open3D will be unavailable" >&2
  fi
fi

if "$python" -m pip install --quiet -r bench/requirements.txt; then
  exit 0
fi
echo "installing the peers one at a time" >&2
while IFS= read -r line; do
  requirement=$(echo "${line%%#*}" | sed 's/[[:space:]]*$//')
  [ -z "$requirement" ] && continue
  "$python" -m pip install --quiet "$requirement" \
    || echo "could not install '$requirement': the benchmark reports it as unavailable" >&2
done < bench/requirements.txt
exit 0
