#include "http/module_functions.h"

namespace Duvarel {

std::shared_ptr<DataRequest> makeDataRequest(const URLConvertible& url, HTTPMethod method,
                                             std::optional<Parameters> parameters, const ParameterEncoding& encoding,
                                             std::optional<HTTPHeaders> headers) {
  return SessionManager::shared()->makeDataRequest(url, method, std::move(parameters), encoding, std::move(headers));
}
std::shared_ptr<DataRequest> makeDataRequestWithURLRequest(const URLRequestConvertible& urlRequest) {
  return SessionManager::shared()->makeDataRequestWithURLRequest(urlRequest);
}

std::shared_ptr<DownloadRequest> makeDownloadRequest(const URLConvertible& url, HTTPMethod method,
                                                     std::optional<Parameters> parameters,
                                                     const ParameterEncoding& encoding,
                                                     std::optional<HTTPHeaders> headers,
                                                     DownloadDestination destination) {
  return SessionManager::shared()->makeDownloadRequest(url, method, std::move(parameters), encoding, std::move(headers),
                                                       std::move(destination));
}
std::shared_ptr<DownloadRequest> makeDownloadRequestWithURLRequest(const URLRequestConvertible& urlRequest,
                                                                   DownloadDestination destination) {
  return SessionManager::shared()->makeDownloadRequestWithURLRequest(urlRequest, std::move(destination));
}
std::shared_ptr<DownloadRequest> makeDownloadRequestResumingWithData(Bytes resumeData, DownloadDestination destination) {
  return SessionManager::shared()->makeDownloadRequestResumingWithData(std::move(resumeData), std::move(destination));
}

std::shared_ptr<UploadRequest> makeFileUploadRequest(const foundation::Url& fileURL, const URLConvertible& url,
                                                     HTTPMethod method, std::optional<HTTPHeaders> headers) {
  return SessionManager::shared()->makeFileUploadRequest(fileURL, url, method, std::move(headers));
}
std::shared_ptr<UploadRequest> makeFileUploadRequestWithURLRequest(const foundation::Url& fileURL,
                                                                   const URLRequestConvertible& urlRequest) {
  return SessionManager::shared()->makeFileUploadRequestWithURLRequest(fileURL, urlRequest);
}
std::shared_ptr<UploadRequest> makeDataUploadRequest(Bytes data, const URLConvertible& url, HTTPMethod method,
                                                     std::optional<HTTPHeaders> headers) {
  return SessionManager::shared()->makeDataUploadRequest(std::move(data), url, method, std::move(headers));
}
std::shared_ptr<UploadRequest> makeDataUploadRequestWithURLRequest(Bytes data, const URLRequestConvertible& urlRequest) {
  return SessionManager::shared()->makeDataUploadRequestWithURLRequest(std::move(data), urlRequest);
}
std::shared_ptr<UploadRequest> makeStreamUploadRequest(std::shared_ptr<foundation::InputStream> stream,
                                                       const URLConvertible& url, HTTPMethod method,
                                                       std::optional<HTTPHeaders> headers) {
  return SessionManager::shared()->makeStreamUploadRequest(std::move(stream), url, method, std::move(headers));
}
std::shared_ptr<UploadRequest> makeStreamUploadRequestWithURLRequest(std::shared_ptr<foundation::InputStream> stream,
                                                                     const URLRequestConvertible& urlRequest) {
  return SessionManager::shared()->makeStreamUploadRequestWithURLRequest(std::move(stream), urlRequest);
}

std::shared_ptr<StreamRequest> makeStreamRequest(const std::string& hostName, int port) {
  return SessionManager::shared()->makeStreamRequest(hostName, port);
}
std::shared_ptr<StreamRequest> makeStreamRequestWithNetService(const NetService& netService) {
  return SessionManager::shared()->makeStreamRequestWithNetService(netService);
}

}  // namespace Duvarel
