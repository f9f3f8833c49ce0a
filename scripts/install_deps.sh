#!/usr/bin/env bash
# Installs what kelp needs to build and test, and nothing when all of it is already there:
# Debian packages for the C++ side, and a virtual environment .venv with the Python tools.
set -euo pipefail
cd "$(dirname "$0")/.."

DEB_PACKAGES=(g++ cmake ninja-build make rapidjson-dev libtbb-dev libgtest-dev
              libbenchmark-dev python3-dev python3-venv clang-format)
if [[ "${KELP_WITH_FUZZ:-0}" == 1 ]]; then
  DEB_PACKAGES+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${DEB_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing Debian packages: ${missing[*]}"
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

PY=${PYTHON:-python3}
if [[ ! -x .venv/bin/python ]]; then
  echo "creating .venv"
  "$PY" -m venv .venv
fi
if ! .venv/bin/python -c "import pytest, numpy, pandas, matplotlib, xarray, h5netcdf, h5py, gsw, pyproj, tqdm, distributed, compliance_checker, scikit_build_core, pybind11" \
     2>/dev/null; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q pytest numpy pandas matplotlib xarray h5netcdf h5py gsw pyproj tqdm "dask[distributed]" \
    compliance-checker \
    scikit-build-core pybind11 ninja
fi
