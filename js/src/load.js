// Instantiates an emscripten module (createModule, made with MODULARIZE)
// over the wasm bytes in WASM_BASE64. js/build.sh places this file after the
// loader and the bytes in each of the package's modules; `core.memory` is the
// instance's memory.

function wasmBytes() {
  if (typeof Buffer === 'function') return Buffer.from(WASM_BASE64, 'base64');
  const text = atob(WASM_BASE64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
  return bytes;
}

// The instance's memory, whatever the minifier named its export.
const memoryOf = (instance) => Object.values(instance.exports)
  .find((value) => value instanceof WebAssembly.Memory);

// Node compiles and instantiates synchronously, for require().
function loadSync(createModule) {
  const module = new WebAssembly.Module(wasmBytes());
  const core = {
    instantiateWasm(imports, done) {
      const instance = new WebAssembly.Instance(module, imports);
      core.memory = memoryOf(instance);
      done(instance, module);
      return instance.exports;
    },
  };
  createModule(core);
  return core;
}

// Browsers refuse synchronous compilation of large modules on the main
// thread, so the ES module awaits it.
function loadAsync(createModule) {
  const core = {
    instantiateWasm(imports, done) {
      WebAssembly.instantiate(wasmBytes(), imports).then((result) => {
        core.memory = memoryOf(result.instance);
        done(result.instance, result.module);
      });
      return {};
    },
  };
  return createModule(core).then(() => core);
}
