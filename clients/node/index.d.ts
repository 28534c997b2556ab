// Types for the ES module entry, which re-exports the CommonJS module.
export * from './index.cjs';
