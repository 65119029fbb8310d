#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that every tracked source file names the project's licence on its
# first line, or on its second after a "#!" line:
#   SPDX-License-Identifier: GPL-2.0-or-later
# in the file's own comment syntax. Source files are C++ (.cc, .h), CMake,
# shell, Python, manual pages (.1-.8), the bash completion and any file that
# starts with "#!"; documents and data files are not.
#
#   scripts/spdx-check.sh          list the files without it; status 1 if any
#   scripts/spdx-check.sh --fix    add it to those files
set -euo pipefail
cd "$(dirname "$0")/.."

fix=0
[[ ${1:-} == --fix ]] && fix=1
id='SPDX-License-Identifier: GPL-2.0-or-later'

# comment FILE: the licence line in FILE's comment syntax, or nothing when
# FILE is not a source file.
comment() {
  case $1 in
    *.cc | *.h) echo "// $id"; return ;;
    *.[1-8]) echo ".\\\" $id"; return ;;
    *.cmake | */CMakeLists.txt | CMakeLists.txt | *.sh | *.py | completion/*) echo "# $id"; return ;;
  esac
  if [[ $(head -c 2 "$1") == '#!' ]]; then echo "# $id"; fi
}

if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "spdx-check: not a git checkout, nothing checked"
  exit 0
fi

missing=0
while IFS= read -r -d '' file; do
  [[ -f $file && ! -L $file ]] || continue
  line=$(comment "$file")
  [[ -n $line ]] || continue
  if [[ $(head -c 2 "$file") == '#!' ]]; then at=2; else at=1; fi
  [[ $(sed -n "${at}p" "$file") == "$line" ]] && continue
  if ((fix)); then
    text=${line//\\/\\\\}  # sed's a and i commands unescape backslashes
    if ((at == 2)); then
      sed -i "1a\\$text" "$file"
    else
      sed -i "1i\\$text" "$file"
    fi
    echo "added: $file"
  else
    echo "no licence line: $file"
    missing=$((missing + 1))
  fi
done < <(git ls-files -z)

((missing == 0))
