#!/usr/bin/env bash
# Builds the packages from the tree with CMake and CPack:
#   build-package/packages/zalvointf_<version>_<arch>.deb     Debian package (install prefix /usr)
#   build-package-win32/packages/ZalvoIntf-<version>-win32.zip  Windows ZIP (mingw-w64 cross build)
# Usage: scripts/package.sh [deb|zip]...   (default: both). Installs what it needs first.
# The contents: cmake/ZalvoInstall.cmake; the checks: scripts/test.d/60-package.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

./scripts/setup.sh >/dev/null

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(deb zip)
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

for kind in "${kinds[@]}"; do
  case "$kind" in
    deb)
      echo "== Debian package (build-package)"
      # Debian's hardening flags (fortified functions, stack protector, read-only relocations,
      # immediate binding).
      export DEB_BUILD_MAINT_OPTIONS=hardening=+all
      CFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
      CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
      LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
      cmake -S . -B build-package -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DZALVO_INSTALLED_PATHS=ON -DZALVO_BUILD_TESTS=OFF -DZALVO_TEST_HOOKS=OFF \
        -DZALVO_BUILD_BENCH=OFF -DZALVO_WERROR=ON >/dev/null
      cmake --build build-package -j "$jobs"
      rm -rf build-package/packages
      (cd build-package && cpack -G DEB >/dev/null)
      ls build-package/packages/*.deb
      ;;
    zip)
      echo "== Windows ZIP (build-package-win32)"
      cmake -S . -B build-package-win32 -G Ninja "${launcher[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZALVO_BUILD_TESTS=OFF -DZALVO_BUILD_BENCH=OFF -DZALVO_TEST_HOOKS=OFF \
        -DZALVO_INSTALLED_PATHS=ON -DZALVO_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
      # Only what the ZIP holds: the module, and the tool with its board report, the simulated
      # board and its placeholder images (made with Wine).
      targets=(ZalvoIntf)
      available=$(cmake --build build-package-win32 --target help)
      if grep -q '^zalvo_capture:' <<<"$available"; then
        targets+=(zalvo_capture)
      fi
      cmake --build build-package-win32 -j "$jobs" --target "${targets[@]}"
      rm -rf build-package-win32/packages
      (cd build-package-win32 && cpack -G ZIP >/dev/null)
      ls build-package-win32/packages/*.zip
      ;;
    *)
      echo "usage: $0 [deb|zip]..." >&2
      exit 2
      ;;
  esac
done
