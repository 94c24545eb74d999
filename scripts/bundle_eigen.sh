#!/usr/bin/env bash
# Copies the Eigen headers that the normal build uses (Debian's libeigen3-dev)
# into third_party/eigen3, with the licence texts they are distributed under.
# The directory is git-ignored and goes into the sdist, where CMake falls back
# to it when no installed Eigen is found: an sdist builds with the same Eigen,
# and so the same bits, as the checkout.
set -euo pipefail
cd "$(dirname "$0")/.."

source_dir=/usr/include/eigen3
copyright=/usr/share/doc/libeigen3-dev/copyright
if [ ! -f "$source_dir/Eigen/Core" ] || [ ! -f "$copyright" ]; then
  echo "bundle_eigen: Debian's libeigen3-dev is not installed (make setup installs it)" >&2
  exit 1
fi

bundle=third_party/eigen3
rm -rf "$bundle"
mkdir -p "$bundle/LICENSES"
# Eigen/ only: the unsupported modules are not used.
cp -R "$source_dir/Eigen" "$source_dir/signature_of_eigen3_matrix_library" "$bundle/"
# Debian's copyright file names the licence of every file and holds the MPL 2.0
# and BSD texts; it refers to the system's copies of the other two.
cp "$copyright" "$bundle/COPYRIGHT"
cp /usr/share/common-licenses/LGPL-2.1 /usr/share/common-licenses/Apache-2.0 "$bundle/LICENSES/"
eigen_version=$(sed -n 's/^#define EIGEN_\(WORLD\|MAJOR\|MINOR\)_VERSION \([0-9]*\)$/\2/p' \
  "$source_dir/Eigen/src/Core/util/Macros.h" | paste -sd.)
package_version=$(dpkg-query -W -f='${Version}' libeigen3-dev 2>/dev/null || echo unknown)
cat >"$bundle/README" <<TEXT
Eigen $eigen_version: the headers of Debian's libeigen3-dev $package_version, unchanged.
Licences: COPYRIGHT (file by file, with the MPL 2.0 and BSD texts) and LICENSES/.
TEXT
echo "bundle_eigen: $(find "$bundle" -type f | wc -l) files in $bundle"
