// Stands in for codec-parser (LGPL-3.0), which the FLAC package uses only to split whole
// files and Ogg streams into frames: the page gives it frames, so none of it is served.
export default class {}
export const data = Symbol(), totalSamples = Symbol(), codecFrames = Symbol(), isLastPage = Symbol();
