// Debian ships xterm.js as CommonJS modules (node-xterm), which a browser
// cannot load by itself: fetch a module and everything it requires, then
// run them as Node would, each once, in the order they are required.
'use strict';

async function loadCommonJs(entryUrl) {
  const sources = new Map();
  const resolve = (from, name) => new URL(name.endsWith('.js') ? name : name + '.js', from).href;
  const requires = source => [...source.matchAll(/require\("([^"]+)"\)/g)].map(match => match[1]);

  let wanted = [new URL(entryUrl, location.href).href];
  while (wanted.length > 0) {
    const fetched = await Promise.all(wanted.map(async url => {
      const response = await fetch(url);
      if (!response.ok) throw new Error(`${url}: ${response.status}`);
      return [url, await response.text()];
    }));
    wanted = [];
    for (const [url, source] of fetched) {
      sources.set(url, source);
      for (const name of requires(source)) {
        const dependency = resolve(url, name);
        if (!sources.has(dependency) && !wanted.includes(dependency)) wanted.push(dependency);
      }
    }
    wanted = wanted.filter(url => !sources.has(url));
  }

  const modules = new Map();
  const run = url => {
    if (modules.has(url)) return modules.get(url).exports;
    const module = { exports: {} };
    modules.set(url, module);
    const body = new Function('require', 'module', 'exports', `${sources.get(url)}\n//# sourceURL=${url}`);
    body(name => run(resolve(url, name)), module, module.exports);
    return module.exports;
  };
  return run(sources.keys().next().value);
}
